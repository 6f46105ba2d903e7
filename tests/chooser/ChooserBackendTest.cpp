#include <gtest/gtest.h>
#include <pty.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/Chooser.h"
#include "util/ControlText.h"

namespace tolmix::platform {
namespace {

// Records the events and accepts OK only on an allowed row.
class FakeEvents : public ChooserEvents {
 public:
  void OnView(int row) override { log.push_back("view " + std::to_string(row)); }
  bool OnOk(int row) override {
    log.push_back("ok " + std::to_string(row));
    return row >= 0;
  }
  std::vector<std::string> log;
};

ChooserDialog ThreeRows() {
  ChooserDialog d;
  d.title = "T";
  d.view_label = "view";
  d.ok_label = "ok";
  d.cancel_label = "cancel";
  d.columns = {{"name", 100}, {"date", 50}};
  d.rows = {{"a", "1"}, {"b", "2"}, {"c", "3"}};
  return d;
}

std::string Contents(FILE* f) {
  fflush(f);
  rewind(f);
  std::string s;
  int c;
  while ((c = fgetc(f)) != EOF) s.push_back(static_cast<char>(c));
  return s;
}

TEST(UnattendedBackend, FollowsTheAnswer) {
  struct Case {
    const char* answer;
    size_t rows;
    ChooserResult result;
    std::vector<std::string> log;
  } cases[] = {
      {"first", 3, ChooserResult::kOk, {"ok 0"}},
      {"first", 0, ChooserResult::kCancel, {"ok -1"}},
      {"cancel", 3, ChooserResult::kCancel, {}},
      {"row:2", 3, ChooserResult::kOk, {"ok 2"}},
      {"row:3", 3, ChooserResult::kCancel, {"ok -1"}},
      {"view:1,ok,row:0", 3, ChooserResult::kOk, {"view 1", "ok -1", "ok 0"}},
      {"view:9,cancel,first", 3, ChooserResult::kCancel, {"view -1"}},
      {"view:0", 3, ChooserResult::kCancel, {"view 0"}},
      {"row:x", 3, ChooserResult::kCancel, {}},
      {"bogus", 3, ChooserResult::kCancel, {}},
  };
  for (const Case& c : cases) {
    FILE* messages = tmpfile();
    auto backend = MakeUnattendedBackend(c.answer, messages);
    ChooserDialog d = ThreeRows();
    d.rows.resize(c.rows);
    FakeEvents events;
    EXPECT_EQ(backend->Run(d, &events), c.result) << c.answer;
    EXPECT_EQ(events.log, c.log) << c.answer;
    backend->ShowMessage("hello");
    std::string said = Contents(messages);
    EXPECT_NE(said.find("tolmix: hello\n"), std::string::npos);
    EXPECT_EQ(said.find("unknown") != std::string::npos,
              std::string(c.answer) == "bogus" || std::string(c.answer) == "row:x")
        << c.answer;
    fclose(messages);
  }
}

// The terminal backend over injected streams.
struct TerminalRun {
  ChooserResult result;
  std::vector<std::string> log;
  std::string shown;
};

TerminalRun RunTerminal(const std::string& typed) {
  FILE* in = fmemopen(const_cast<char*>(typed.data()), typed.size(), "r");
  if (typed.empty()) in = fopen("/dev/null", "r");
  FILE* out = tmpfile();
  auto backend = MakeTerminalBackend(in, out);
  FakeEvents events;
  TerminalRun run;
  run.result = backend->Run(ThreeRows(), &events);
  backend->ShowMessage("msg");
  run.log = events.log;
  run.shown = Contents(out);
  fclose(in);
  fclose(out);
  return run;
}

TEST(TerminalBackend, ChoiceViewAndCancel) {
  TerminalRun run = RunTerminal("v 2\n\n9\n2\n");
  EXPECT_EQ(run.result, ChooserResult::kOk);
  EXPECT_EQ(run.log, (std::vector<std::string>{"view 1", "ok -1", "ok 1"}));
  EXPECT_NE(run.shown.find("T\n"), std::string::npos);
  EXPECT_NE(run.shown.find("  name | date\n"), std::string::npos);
  EXPECT_NE(run.shown.find("    2  b | 2\n"), std::string::npos);
  EXPECT_NE(run.shown.find("?\n"), std::string::npos);  // "9" is not a row
  EXPECT_NE(run.shown.find("*** msg\n"), std::string::npos);

  run = RunTerminal("v\nq\n1\n");
  EXPECT_EQ(run.result, ChooserResult::kCancel);
  EXPECT_EQ(run.log, std::vector<std::string>{"view -1"});

  run = RunTerminal("");  // end of input
  EXPECT_EQ(run.result, ChooserResult::kCancel);
  EXPECT_TRUE(run.log.empty());
  run = RunTerminal("3");  // last line without its line feed still counts
  EXPECT_EQ(run.log, std::vector<std::string>{"ok 2"});
}

// A certificate name with terminal escapes (clear the screen, set the
// window title, ring the bell) reaches the terminal as visible text, through
// the facade as the dialog uses it; so do C1 controls, bidi overrides and
// bytes that are no UTF-8.
TEST(TerminalBackend, ControlCharactersInNamesAreEscaped) {
  const std::string typed = "q\n";
  FILE* in = fmemopen(const_cast<char*>(typed.data()), typed.size(), "r");
  FILE* out = tmpfile();
  auto backend = MakeTerminalBackend(in, out);
  Chooser chooser(backend.get());
  ChooserDialog d = ThreeRows();
  d.rows[0][0] = "Evil\x1b[2J\x1b]0;PWNED\aName";  // GBK, as the dialog hands it
  d.rows[1][0] = "tab\there\x7f";
  FakeEvents events;
  EXPECT_EQ(chooser.Run(d, &events), ChooserResult::kCancel);
  chooser.ShowMessage("bell\a");
  std::string shown = Contents(out);
  EXPECT_NE(shown.find("    1  Evil\\x1B[2J\\x1B]0;PWNED\\x07Name | 1\n"), std::string::npos) << shown;
  EXPECT_NE(shown.find("    2  tab\\x09here\\x7F | 2\n"), std::string::npos) << shown;
  EXPECT_NE(shown.find("*** bell\\x07\n"), std::string::npos) << shown;
  EXPECT_EQ(shown.find_first_of("\x1b\a\t\x7f"), std::string::npos) << shown;
  fclose(in);
  fclose(out);

  EXPECT_EQ(EscapeControls("a\xc2\x9b" "1m\xe2\x80\xaez\xff\xe4\xb8\xad"),
            "a\\u009B1m\\u202Ez\\xFF\xe4\xb8\xad");
  EXPECT_EQ(ShowControls("\x1b\x7f\xc2\x9b"), "\xe2\x90\x9b\xe2\x90\xa1\\u009B");
}

TEST(TerminalBackend, WorksOnARealTerminal) {
  int master = -1, slave = -1;
  ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
  FILE* in = fdopen(slave, "r");
  FILE* out = fdopen(dup(slave), "w");
  ASSERT_TRUE(isatty(fileno(in)));
  const char typed[] = "v 3\n1\n";
  ASSERT_EQ(write(master, typed, sizeof typed - 1), static_cast<ssize_t>(sizeof typed - 1));
  FakeEvents events;
  EXPECT_EQ(MakeTerminalBackend(in, out)->Run(ThreeRows(), &events), ChooserResult::kOk);
  EXPECT_EQ(events.log, (std::vector<std::string>{"view 2", "ok 0"}));
  fclose(out);
  fclose(in);
  std::string screen;
  char buf[4096];
  ssize_t n;
  while ((n = read(master, buf, sizeof buf)) > 0) {
    screen.append(buf, static_cast<size_t>(n));
    if (screen.find("    3  c | 3") != std::string::npos) break;
  }
  EXPECT_NE(screen.find("    3  c | 3"), std::string::npos);
  close(master);
}

TEST(ChooserChoice, OverrideWinsAndTextsAreConverted) {
  setenv("TOLMIX_CHOOSER", "first", 1);
  setenv("DISPLAY", ":12345", 1);
  EXPECT_STREQ(MakeChooserBackend()->Name(), "unattended");
  unsetenv("TOLMIX_CHOOSER");
  unsetenv("DISPLAY");
  unsetenv("WAYLAND_DISPLAY");
  if (!isatty(STDIN_FILENO)) {
    EXPECT_STREQ(MakeChooserBackend()->Name(), "none");
  }

  // GBK in, UTF-8 to the backend; bytes that are not GBK become "?".
  struct Capture : ChooserBackend {
    ChooserResult Run(const ChooserDialog& d, ChooserEvents*) override {
      seen = d;
      return ChooserResult::kCancel;
    }
    void ShowMessage(const std::string& t) override { message = t; }
    const char* Name() const override { return "capture"; }
    ChooserDialog seen;
    std::string message;
  } capture;
  Chooser chooser(&capture);
  ChooserDialog d = ThreeRows();
  d.title = "\xC7\xEB\xD1\xA1\xD4\xF1\xD6\xA4\xCA\xE9";
  d.rows[0][0] = "ok\xFF";
  FakeEvents events;
  chooser.Run(d, &events);
  chooser.ShowMessage("\xC8\xB7\xB6\xA8");
  EXPECT_EQ(capture.seen.title, "请选择证书");
  EXPECT_EQ(capture.seen.rows[0][0], "ok?");
  EXPECT_EQ(capture.message, "确定");
}

}  // namespace
}  // namespace tolmix::platform
