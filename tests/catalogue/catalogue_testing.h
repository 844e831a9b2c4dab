#pragma once

// Small helpers shared by the catalogue tests.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "catalogue/download_task.h"
#include "site/demo_site.h"
#include "text/codepage.h"

namespace wuqu::catalogue::testing {

// Program text of a UTF-8 literal.
inline Text L(const std::string& utf8) { return Utf8ToLocalText(std::string_view(utf8)); }

// The site's request log as "METHOD target" lines, targets as sent.
inline std::vector<std::string> Targets(const std::vector<SiteRequest>& requests) {
  std::vector<std::string> out;
  for (const SiteRequest& r : requests) out.push_back(r.method + " " + r.target);
  return out;
}

using FieldValue = std::variant<std::int64_t, std::optional<Text>>;

// The twenty fields of a task record in the downloader's order.
inline std::vector<FieldValue> Fields(const DownloadTask& t) {
  return {t.option_1,     t.source_address, t.target_path,    t.login_name, t.password,
          t.thread_count, t.option_7,       t.option_8,       t.option_9,   t.option_10,
          t.option_11,    t.option_12,      t.option_13,      t.option_14,  t.option_15,
          t.option_16,    t.option_17,      t.extension_list, t.option_19,  t.option_20};
}

}  // namespace wuqu::catalogue::testing
