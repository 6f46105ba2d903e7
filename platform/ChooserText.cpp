// The chooser's facade, the same on every platform: GBK texts in, UTF-8
// to the backend.
#include "platform/Chooser.h"

#include "platform/CodePage.h"

namespace tolmix::platform {
namespace {

// GBK to UTF-8 for display; bytes of an invalid text that are not ASCII
// become "?", so a bad name never hides the rest of the list.
std::string DisplayText(std::string_view gbk) {
  std::string utf8;
  if (GbkToUtf8(gbk, &utf8)) return utf8;
  utf8.clear();
  for (unsigned char c : gbk) utf8.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  return utf8;
}

}  // namespace

ChooserResult Chooser::Run(const ChooserDialog& dialog, ChooserEvents* events) {
  ChooserDialog shown = dialog;
  shown.title = DisplayText(dialog.title);
  shown.view_label = DisplayText(dialog.view_label);
  shown.ok_label = DisplayText(dialog.ok_label);
  shown.cancel_label = DisplayText(dialog.cancel_label);
  for (ChooserColumn& c : shown.columns) c.title = DisplayText(c.title);
  for (auto& row : shown.rows) {
    for (std::string& cell : row) cell = DisplayText(cell);
  }
  return backend_->Run(shown, events);
}

void Chooser::ShowMessage(std::string_view gbk_text) { backend_->ShowMessage(DisplayText(gbk_text)); }

}  // namespace tolmix::platform
