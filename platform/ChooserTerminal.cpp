// Terminal chooser backend: prints the list with 1-based row numbers and
// reads one answer per line.
//   N      - OK on row N (a number outside the list selects nothing)
//   empty  - OK with nothing selected
//   v N    - view row N ("v" alone views nothing)
//   q      - cancel; end of input cancels as well
// Every text is printed with its control characters escaped
// (util/ControlText.h): a certificate's name cannot clear the screen or
// draw rows of its own.
#include <cstring>

#include "platform/Chooser.h"
#include "util/ControlText.h"

namespace tolmix::platform {
namespace {

// Row index from a 1-based number in TEXT; -1 when it is not a row.
int RowFromText(const std::string& text, int rows) {
  if (text.empty() || text.size() > 9) return -1;
  int n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return -1;
    n = n * 10 + (c - '0');
  }
  return n >= 1 && n <= rows ? n - 1 : -1;
}

std::string Trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return "";
  size_t e = s.find_last_not_of(" \t\r\n");
  return s.substr(b, e - b + 1);
}

class TerminalBackend : public ChooserBackend {
 public:
  TerminalBackend(FILE* in, FILE* out) : in_(in), out_(out) {}

  ChooserResult Run(const ChooserDialog& dialog, ChooserEvents* events) override {
    const int rows = static_cast<int>(dialog.rows.size());
    PrintList(dialog);
    std::string line;
    while (true) {
      if (rows > 0) fprintf(out_, "[1-%d] %s, v N %s, ", rows, EscapeControls(dialog.ok_label).c_str(),
                            EscapeControls(dialog.view_label).c_str());
      fprintf(out_, "q %s> ", EscapeControls(dialog.cancel_label).c_str());
      fflush(out_);
      if (!ReadLine(&line)) {
        fprintf(out_, "\n");
        return ChooserResult::kCancel;
      }
      std::string answer = Trim(line);
      if (answer == "q") return ChooserResult::kCancel;
      if (answer == "v" || answer.starts_with("v ")) {
        events->OnView(RowFromText(Trim(answer.substr(1)), rows));
        continue;
      }
      if (answer.empty() || RowFromText(answer, rows) >= 0) {
        if (events->OnOk(RowFromText(answer, rows))) return ChooserResult::kOk;
        continue;
      }
      fprintf(out_, "?\n");
    }
  }

  void ShowMessage(const std::string& text) override {
    fprintf(out_, "*** %s\n", EscapeControls(text).c_str());
    fflush(out_);
  }

  const char* Name() const override { return "terminal"; }

 private:
  void PrintList(const ChooserDialog& dialog) {
    fprintf(out_, "%s\n    #", EscapeControls(dialog.title).c_str());
    for (size_t c = 0; c < dialog.columns.size(); ++c) {
      fprintf(out_, "%s%s", c ? " | " : "  ", EscapeControls(dialog.columns[c].title).c_str());
    }
    fprintf(out_, "\n");
    for (size_t r = 0; r < dialog.rows.size(); ++r) {
      fprintf(out_, "%5zu", r + 1);
      for (size_t c = 0; c < dialog.rows[r].size(); ++c) {
        fprintf(out_, "%s%s", c ? " | " : "  ", EscapeControls(dialog.rows[r][c]).c_str());
      }
      fprintf(out_, "\n");
    }
  }

  // One line without its line feed; false at end of input before any byte.
  bool ReadLine(std::string* line) {
    line->clear();
    int c;
    while ((c = fgetc(in_)) != EOF && c != '\n') line->push_back(static_cast<char>(c));
    return c != EOF || !line->empty();
  }

  FILE* in_;
  FILE* out_;
};

}  // namespace

std::unique_ptr<ChooserBackend> MakeTerminalBackend(FILE* in, FILE* out) {
  return std::make_unique<TerminalBackend>(in, out);
}

}  // namespace tolmix::platform
