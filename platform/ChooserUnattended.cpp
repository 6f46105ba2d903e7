// Unattended chooser backend: answers from $TOLMIX_CHOOSER, for automation
// and tests.
#include <cstdlib>
#include <string_view>

#include "platform/Chooser.h"

namespace tolmix::platform {
namespace {

// Parses a non-negative row number; -1 when TEXT is not one.
int ParseRow(std::string_view text) {
  if (text.empty() || text.size() > 9) return -1;
  int n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return -1;
    n = n * 10 + (c - '0');
  }
  return n;
}

class UnattendedBackend : public ChooserBackend {
 public:
  UnattendedBackend(std::string answer, FILE* messages)
      : answer_(std::move(answer)), messages_(messages) {}

  ChooserResult Run(const ChooserDialog& dialog, ChooserEvents* events) override {
    const int rows = static_cast<int>(dialog.rows.size());
    // A row past the end of the list is what "nothing selected" looks like.
    auto selectable = [rows](int row) { return row >= 0 && row < rows ? row : -1; };
    std::string_view rest = answer_;
    while (!rest.empty()) {
      size_t comma = rest.find(',');
      std::string_view action = rest.substr(0, comma);
      rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
      if (action == "cancel") return ChooserResult::kCancel;
      if (action == "first" || action == "ok") {
        int row = action == "first" ? selectable(0) : -1;
        if (events->OnOk(row)) return ChooserResult::kOk;
      } else if (action.starts_with("row:") && ParseRow(action.substr(4)) >= 0) {
        if (events->OnOk(selectable(ParseRow(action.substr(4))))) return ChooserResult::kOk;
      } else if (action.starts_with("view:") && ParseRow(action.substr(5)) >= 0) {
        events->OnView(selectable(ParseRow(action.substr(5))));
      } else {
        Say("unknown TOLMIX_CHOOSER action \"" + std::string(action) + "\"; cancelled");
        return ChooserResult::kCancel;
      }
    }
    return ChooserResult::kCancel;
  }

  void ShowMessage(const std::string& text) override { Say(text); }
  const char* Name() const override { return "unattended"; }

 private:
  void Say(const std::string& text) {
    if (!messages_) return;
    fprintf(messages_, "tolmix: %s\n", text.c_str());
    fflush(messages_);
  }

  std::string answer_;
  FILE* messages_;
};

}  // namespace

std::unique_ptr<ChooserBackend> MakeUnattendedBackend(std::string answer, FILE* messages) {
  return std::make_unique<UnattendedBackend>(std::move(answer), messages);
}

}  // namespace tolmix::platform
