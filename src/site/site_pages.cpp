#include <cstdio>
#include <string>

#include "site/http_bits.h"
#include "site/site_catalogue.h"

namespace wuqu {
namespace {

constexpr std::string_view kSiteName = "舞曲演示站";

std::uint64_t Hash(std::string_view s) {
  std::uint64_t h = 1469598103934665603ull;
  for (unsigned char c : s) h = (h ^ c) * 1099511628211ull;
  return h;
}

void Head(std::string& out, std::string_view title) {
  out += "<!DOCTYPE html>\n<html lang=\"zh-CN\">\n<head>\n<meta charset=\"utf-8\">\n";
  out += "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n";
  out += "<title>";
  out += title;
  out +=
      "</title>\n<style>\n"
      "body{font:14px/1.6 sans-serif;margin:0;background:#f4f4f4}\n"
      ".top{background:#222;color:#eee;padding:8px 16px}.top a{color:#fc0}\n"
      ".nav{list-style:none;margin:0;padding:6px 16px;background:#333}\n"
      ".nav li{display:inline;margin-right:12px}.nav a{color:#fff}\n"
      ".main{background:#fff;margin:12px 16px;padding:8px 16px}\n"
      "table.list{width:100%;border-collapse:collapse}.list td,.list th{border-bottom:1px solid "
      "#ddd}\n"
      ".pager,.foot{color:#666;margin:8px 16px}\n"
      "</style>\n</head>\n<body>\n";
}

void Navigation(std::string& out, const SiteCatalogue& catalogue) {
  out += "<div class=\"top\"><a href=\"/\">";
  out += kSiteName;
  out += "</a> <span>本地演示曲库，仅供测试</span></div>\n<ul class=\"nav\">\n";
  out += "<li><a href=\"/\">首页</a></li>\n";
  for (const auto& c : catalogue.categories()) {
    out += "<li><a href=\"/" + HtmlEscape(c.path) + "\">" + HtmlEscape(c.caption) + "</a></li>\n";
  }
  out += "</ul>\n";
}

void Foot(std::string& out) {
  out += "<div class=\"foot\">";
  out += kSiteName;
  out += " · 所有曲目均为程序生成的演示内容 · 只在本机提供服务</div>\n</body>\n</html>\n";
}

// Text for a single-quoted script string: quotes, backslashes, angle brackets
// and control characters written as \u escapes, so neither the string nor the
// script element can end early.
std::string ScriptString(std::string_view text) {
  std::string out;
  for (unsigned char c : text) {
    if (c < 0x20 || c == '\'' || c == '"' || c == '\\' || c == '<' || c == '>' || c == '&') {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

// A path for an href: everything but unreserved characters and "/" percent-encoded.
std::string UrlPath(std::string_view path) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : path) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       c == '-' || c == '_' || c == '.' || c == '~' || c == '/';
    if (plain) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

}  // namespace

std::string PlainTitle(std::string_view html_title) {
  std::string out;
  for (std::size_t i = 0; i < html_title.size();) {
    const char c = html_title[i];
    if (c == '<') {
      const auto end = html_title.find('>', i);
      if (end == std::string_view::npos) break;
      i = end + 1;
    } else if (c == '&') {
      static constexpr std::pair<std::string_view, char> kEntities[] = {
          {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&#39;", '\''}};
      bool done = false;
      for (const auto& [entity, ch] : kEntities) {
        if (html_title.substr(i, entity.size()) == entity) {
          out += ch;
          i += entity.size();
          done = true;
          break;
        }
      }
      if (!done) out += html_title[i++];
    } else {
      out += c;
      ++i;
    }
  }
  return out;
}

std::string RenderListingPage(const SiteCatalogue& catalogue, std::size_t category) {
  const SiteCategory& cat = catalogue.categories().at(category);
  std::string out;
  out.reserve(2048 + cat.tracks.size() * 200);
  Head(out, cat.caption + " - 最新" + cat.caption + "在线试听 - " + std::string(kSiteName));
  Navigation(out, catalogue);
  out += "<div class=\"main\">\n<h1>" + HtmlEscape(cat.caption) + "</h1>\n";
  out +=
      "<table "
      "class=\"list\">\n<tr><th>序号</th><th>舞曲名称</th><th>人气</th><th>上传日期</th></tr>\n";
  std::size_t n = 0;
  for (const SiteTrack& t : cat.tracks) {
    // One link per line, in exactly the form the program's listing pattern reads.
    out += "<tr>\n<td class=\"n\">" + std::to_string(++n) + "</td>\n";
    out += "<td><a href=\"" + t.href + "\" id=\"s" + t.id + "\" target=\"play\">" + t.title +
           "</a></td>\n";
    out += "<td class=\"h\">" + std::to_string(100 + Hash(t.id) % 50000) + "</td>\n";
    out += "<td class=\"d\">" + t.date + "</td>\n</tr>\n";
  }
  out += "</table>\n";
  if (cat.tracks.empty()) out += "<p>这个分类暂时没有舞曲。</p>\n";
  out += "</div>\n<div class=\"pager\">共 " + std::to_string(cat.tracks.size()) +
         " 首舞曲　第 1 页 / 共 1 页　首页 上一页 下一页 尾页</div>\n";
  Foot(out);
  return out;
}

std::string RenderPlayPage(const SiteCatalogue& catalogue, const SiteTrack& track) {
  const SiteCategory& cat = catalogue.categories().at(track.category);
  const std::uint64_t h = Hash(track.id);
  std::string out;
  Head(out, PlainTitle(track.title) + " - " + cat.caption + " - " + std::string(kSiteName));
  Navigation(out, catalogue);
  out += "<div class=\"main\">\n<h1>" + track.title + "</h1>\n";
  out += "<p>分类：<a href=\"/" + HtmlEscape(cat.path) + "\">" + HtmlEscape(cat.caption) +
         "</a>　上传日期：" + track.date + "</p>\n";
  out += "<div id=\"player\"><audio controls preload=\"none\" src=\"" + UrlPath(track.MediaPath()) +
         "\"></audio></div>\n";
  out += "<p>喜欢这首舞曲就点个赞吧。</p>\n</div>\n";
  out += "<script type=\"text/javascript\">\n";
  out += "var song = {id: '" + ScriptString(track.id) + "', title: '" +
         ScriptString(PlainTitle(track.title)) + "', file: '" + track.file_value +
         "', good: " + std::to_string(h % 500) + ", bad: " + std::to_string((h >> 16) % 20) +
         ", hits: " + std::to_string(100 + h % 50000) + ", cat: '" + ScriptString(cat.path) +
         "'};\n";
  out += "if (window.djPlayer) { djPlayer.load(song); }\n</script>\n";
  Foot(out);
  return out;
}

std::string RenderIndexPage(const SiteCatalogue& catalogue) {
  std::string out;
  Head(out, std::string(kSiteName) + " - 本地演示曲库");
  Navigation(out, catalogue);
  out += "<div class=\"main\">\n<h1>舞曲分类</h1>\n<ul>\n";
  for (const auto& c : catalogue.categories()) {
    out += "<li><a href=\"/" + HtmlEscape(c.path) + "\">" + HtmlEscape(c.caption) + "</a>（" +
           std::to_string(c.tracks.size()) + " 首）</li>\n";
  }
  out += "</ul>\n<p>测试用的合成文件：/mp4/djmusic/synthetic/字节数/种子.mp4</p>\n</div>\n";
  Foot(out);
  return out;
}

std::string RenderErrorPage(int status) {
  std::string what = "出错了";
  if (status == 404)
    what = "页面不存在";
  else if (status == 400)
    what = "请求无效";
  else if (status == 405)
    what = "不支持的请求方法";
  else if (status == 408)
    what = "请求超时";
  else if (status == 431)
    what = "请求头过大";
  else if (status == 503)
    what = "服务器忙，请稍后再试";
  std::string out;
  Head(out, std::to_string(status) + " " + what + " - " + std::string(kSiteName));
  out += "<div class=\"main\">\n<h1>" + std::to_string(status) + " " + what +
         "</h1>\n<p><a href=\"/\">返回首页</a></p>\n</div>\n";
  Foot(out);
  return out;
}

}  // namespace wuqu
