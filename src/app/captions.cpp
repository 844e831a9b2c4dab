#include "app/captions.h"

#include "app/caption_decoder.h"
#include "app/main_window.h"

namespace wuqu {

const StoredCaption kStoredTitle = {
    "6765616530545ADEF8D7EAC4CADFCFDAC4DCEDC3FBDFD2C4C8D6E7D9629FC3A", "518"};
const StoredCaption kStoredSideLabel = {"A6F0DFCFA3DCDFD2C4C830DBC9A6D8A8ECAFFC4477BAD7A", "927"};

void OnWindowCreated(MainWindow& window) {
  const Text title = DecodeCaptionText(kStoredTitle.hex_text, kStoredTitle.key_text, window.Pump());
  window.SetTitleText(title);
  const Text side =
      DecodeCaptionText(kStoredSideLabel.hex_text, kStoredSideLabel.key_text, window.Pump());
  window.side_label().SetText(side);
}

}  // namespace wuqu
