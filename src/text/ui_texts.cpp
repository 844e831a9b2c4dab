#include "text/ui_texts.h"

#include "text/codepage.h"

namespace wuqu {

const Text& UiText::Gbk() const {
  std::call_once(made_, [this] { gbk_ = Utf8ToLocalText(utf8_); });
  return gbk_;
}

}  // namespace wuqu
