// The chooser: the stand-in for a modal dialog with a list view, three push
// buttons and message boxes.  One interface, three backends chosen at run
// time (MakeChooserBackend):
//   1. unattended, when $TOLMIX_CHOOSER is set ("first", "cancel", "row:N",
//      see MakeUnattendedBackend) - it wins over the others;
//   2. GTK 3, when $DISPLAY or $WAYLAND_DISPLAY is set and the GTK backend
//      library loads and opens the display;
//   3. a terminal prompt, when standard input is a terminal;
//   otherwise nobody can answer: the chooser cancels and messages go to
//   standard error.
//
// The dialog's owner (CCertSelectDlg) keeps the behaviour: a backend only
// shows rows, reports what the user does through ChooserEvents and keeps
// running until OnOk accepts or the user cancels.
#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tolmix::platform {

// A rectangle in dialog units (x, y, width, height).
struct DialogRect {
  int x = 0, y = 0, cx = 0, cy = 0;
};

// One list column: title and width in pixels.
struct ChooserColumn {
  std::string title;
  int width = 0;
};

// What a backend shows.  Texts are GBK when handed to Chooser and UTF-8
// inside a backend (Chooser converts them).
struct ChooserDialog {
  std::string title;
  int width = 0, height = 0;  // dialog units
  DialogRect list;
  std::string view_label, ok_label, cancel_label;
  DialogRect view_button, ok_button, cancel_button;
  std::vector<ChooserColumn> columns;
  std::vector<std::vector<std::string>> rows;  // rows[i][column]
};

// Dialog units to pixels for the 9 point dialog font: a dialog unit is a
// quarter of the average character width (6 px) across and an eighth of the
// character height (13 px) down.
inline constexpr int DialogUnitsToPixelsX(int du) { return du * 3 / 2; }
inline constexpr int DialogUnitsToPixelsY(int du) { return du * 13 / 8; }

// What the user did, reported while the chooser runs.  ROW is the selected
// row, -1 when none is selected.
class ChooserEvents {
 public:
  virtual ~ChooserEvents() = default;
  // The view button or a double click (activation) of a row.
  virtual void OnView(int row) = 0;
  // The OK button.  True closes the chooser with kOk; false keeps it open.
  virtual bool OnOk(int row) = 0;
};

enum class ChooserResult { kOk, kCancel };

// A backend.  Texts are UTF-8.
class ChooserBackend {
 public:
  virtual ~ChooserBackend() = default;
  // Runs until OnOk returns true (kOk) or the user cancels (kCancel).
  virtual ChooserResult Run(const ChooserDialog& dialog, ChooserEvents* events) = 0;
  // A modal message box with an OK button; returns when it is dismissed.
  virtual void ShowMessage(const std::string& text) = 0;
  // "unattended", "gtk", "terminal" or "none".
  virtual const char* Name() const = 0;
};

// The chooser as the system uses it: GBK texts in, converted for the
// backend.  A text that is not valid GBK is shown with "?" for its bytes
// that do not convert.
class Chooser {
 public:
  // Owns BACKEND.
  explicit Chooser(std::unique_ptr<ChooserBackend> backend)
      : owned_(std::move(backend)), backend_(owned_.get()) {}
  // Borrows BACKEND, which must outlive the chooser.
  explicit Chooser(ChooserBackend* backend) : backend_(backend) {}
  ChooserResult Run(const ChooserDialog& dialog, ChooserEvents* events);
  void ShowMessage(std::string_view gbk_text);
  ChooserBackend* backend() const { return backend_; }

 private:
  std::unique_ptr<ChooserBackend> owned_;
  ChooserBackend* backend_;
};

// The backend for this process's environment, by the rules at the top.
// Never null.
std::unique_ptr<ChooserBackend> MakeChooserBackend();

// Unattended backend.  ANSWER is a comma-separated list of actions done in
// order: "view:N" (view row N), "ok" (OK with nothing selected), and a final
// "first" (OK on row 0, or on nothing when the list is empty), "row:N" (OK
// on row N; a row past the end counts as nothing selected) or "cancel".  Rows
// count from 0.  When the actions run out without an accepted OK the chooser
// cancels; an action it does not understand is reported on MESSAGES and
// cancels.  Message boxes are written to MESSAGES as "tolmix: TEXT" lines.
std::unique_ptr<ChooserBackend> MakeUnattendedBackend(std::string answer, FILE* messages);

// Terminal backend reading answers from IN and writing the list and prompts
// to OUT.  See docs/store.md for what the user types.  End of input cancels.
std::unique_ptr<ChooserBackend> MakeTerminalBackend(FILE* in, FILE* out);

// GTK backend, or null when the GTK backend library cannot be loaded or the
// display cannot be opened.  The library is looked up as
// SystemDir()/libtolmix_gtk_chooser.so, then in the build tree.
std::unique_ptr<ChooserBackend> MakeGtkBackend();

// Export NAME of the GTK backend library (loaded once and kept), or null
// when the library cannot be loaded or lacks it.  Besides the chooser it
// exports int TolmixGtkAsk(title, text, const char* const* buttons, count),
// a modal question box (platform/backends/GtkQuestion.cpp).
void* GtkBackendSymbol(const char* name);

// Name of the C function that the GTK backend library exports:
// ChooserBackend* TolmixCreateGtkChooser(void), null when GTK cannot start.
inline constexpr char kGtkBackendLibrary[] = "libtolmix_gtk_chooser.so";
inline constexpr char kGtkBackendFactory[] = "TolmixCreateGtkChooser";

}  // namespace tolmix::platform
