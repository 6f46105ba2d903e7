// The GTK chooser on a real X server: Xvfb is started on a free display for
// this test program (skipped only when Xvfb is not installed).  The test
// drives the dialog from inside the process through the backend's shown
// hook, reads the tree view's model, and saves a screenshot of the dialog.
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <thread>

#include "certs/CertSelectDlg.h"
#include "platform/Store.h"
#include "tests/chooser/TestCerts.h"

extern "C" void TolmixGtkChooserSetShownHook(void (*hook)(void*, int, void*), void* data);

namespace tolmix {
namespace {

bool OnPath(const char* program) {
  const char* path = getenv("PATH");
  std::string dirs = path ? path : "/usr/bin:/bin";
  size_t pos = 0;
  while (pos <= dirs.size()) {
    size_t end = dirs.find(':', pos);
    if (end == std::string::npos) end = dirs.size();
    if (access((dirs.substr(pos, end - pos) + "/" + program).c_str(), X_OK) == 0) return true;
    pos = end + 1;
  }
  return false;
}

GtkWidget* FindByName(GtkWidget* w, const char* name) {
  if (g_strcmp0(gtk_widget_get_name(w), name) == 0) return w;
  if (!GTK_IS_CONTAINER(w)) return nullptr;
  GList* children = gtk_container_get_children(GTK_CONTAINER(w));
  GtkWidget* found = nullptr;
  for (GList* l = children; l && !found; l = l->next) {
    found = FindByName(GTK_WIDGET(l->data), name);
  }
  g_list_free(children);
  return found;
}

// What a hook step saw, and the script of steps to run.
struct Session {
  std::vector<std::function<void(GtkWidget*, int)>> steps;  // one per shown window
  size_t next = 0;
  std::vector<std::string> columns;
  std::vector<std::vector<std::string>> rows;
  std::vector<std::string> messages;
  int list_width = 0, list_height = 0;
  std::string screenshot;
  bool screenshot_ok = false;
};

void Hook(void* window, int kind, void* data) {
  auto* s = static_cast<Session*>(data);
  GtkWidget* w = GTK_WIDGET(window);
  if (kind == 1) {
    gchar* text = nullptr;
    g_object_get(w, "text", &text, nullptr);
    s->messages.push_back(text ? text : "");
    g_free(text);
  }
  if (s->next < s->steps.size()) {
    s->steps[s->next++](w, kind);
  } else {
    gtk_dialog_response(GTK_DIALOG(w), GTK_RESPONSE_CANCEL);  // unplanned window: close it
  }
}

void ReadList(Session* s, GtkWidget* dialog) {
  GtkTreeView* tree = GTK_TREE_VIEW(FindByName(dialog, "cert-list"));
  ASSERT_NE(tree, nullptr);
  for (guint i = 0; i < gtk_tree_view_get_n_columns(tree); ++i) {
    s->columns.push_back(gtk_tree_view_column_get_title(gtk_tree_view_get_column(tree, i)));
  }
  GtkTreeModel* model = gtk_tree_view_get_model(tree);
  GtkTreeIter it;
  for (gboolean ok = gtk_tree_model_get_iter_first(model, &it); ok;
       ok = gtk_tree_model_iter_next(model, &it)) {
    std::vector<std::string> row;
    for (int c = 0; c < gtk_tree_model_get_n_columns(model); ++c) {
      gchar* v = nullptr;
      gtk_tree_model_get(model, &it, c, &v, -1);
      row.push_back(v ? v : "");
      g_free(v);
    }
    s->rows.push_back(row);
  }
  GtkWidget* scrolled = gtk_widget_get_parent(GTK_WIDGET(tree));
  s->list_width = gtk_widget_get_allocated_width(scrolled);
  s->list_height = gtk_widget_get_allocated_height(scrolled);
}

void SelectRow(GtkWidget* dialog, int row) {
  GtkTreeView* tree = GTK_TREE_VIEW(FindByName(dialog, "cert-list"));
  GtkTreePath* path = gtk_tree_path_new_from_indices(row, -1);
  gtk_tree_selection_select_path(gtk_tree_view_get_selection(tree), path);
  gtk_tree_path_free(path);
}

void Click(GtkWidget* dialog, const char* button) {
  gtk_button_clicked(GTK_BUTTON(FindByName(dialog, button)));
}

// Runs F after MS milliseconds inside the dialog's main loop.
void Later(int ms, std::function<void()> f) {
  auto* call = new std::function<void()>(std::move(f));
  g_timeout_add(ms, [](gpointer p) -> gboolean {
    auto* c = static_cast<std::function<void()>*>(p);
    (*c)();
    delete c;
    return G_SOURCE_REMOVE;
  }, call);
}

void Screenshot(Session* s, GtkWidget* dialog) {
  GdkWindow* window = gtk_widget_get_window(dialog);
  int w = gdk_window_get_width(window), h = gdk_window_get_height(window);
  GdkPixbuf* shot = gdk_pixbuf_get_from_window(window, 0, 0, w, h);
  if (!shot) return;
  std::filesystem::create_directories(TOLMIX_ARTIFACT_DIR);
  s->screenshot = std::string(TOLMIX_ARTIFACT_DIR) + "/chooser-gtk.png";
  gdk_pixbuf_save(shot, s->screenshot.c_str(), "png", nullptr, nullptr);
  // Non-blank: the dialog shows text, lines and buttons, so many colours.
  std::set<uint32_t> colours;
  const guchar* px = gdk_pixbuf_read_pixels(shot);
  int stride = gdk_pixbuf_get_rowstride(shot), n = gdk_pixbuf_get_n_channels(shot);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      const guchar* p = px + y * stride + x * n;
      colours.insert(static_cast<uint32_t>(p[0] << 16 | p[1] << 8 | p[2]));
    }
  }
  s->screenshot_ok = colours.size() > 8;
  g_object_unref(shot);
}

class GtkChooserTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!OnPath("Xvfb")) return;
    int fds[2];
    if (pipe(fds) != 0) return;
    xvfb_ = fork();
    if (xvfb_ == 0) {
      close(fds[0]);
      std::string fd = std::to_string(fds[1]);
      execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1024x768x24",
             "-nolisten", "tcp", static_cast<char*>(nullptr));
      _exit(127);
    }
    close(fds[1]);
    std::string number;
    pollfd p{fds[0], POLLIN, 0};
    char c;
    while (poll(&p, 1, 15000) == 1 && read(fds[0], &c, 1) == 1 && c != '\n') number += c;
    close(fds[0]);
    if (!number.empty()) display_ = ":" + number;
  }
  static void TearDownTestSuite() {
    if (xvfb_ > 0) {
      kill(xvfb_, SIGTERM);
      waitpid(xvfb_, nullptr, 0);
    }
  }
  void SetUp() override {
    if (!OnPath("Xvfb")) GTEST_SKIP() << "Xvfb is not installed";
    ASSERT_FALSE(display_.empty()) << "Xvfb did not start";
    setenv("DISPLAY", display_.c_str(), 1);
    unsetenv("WAYLAND_DISPLAY");
    unsetenv("TOLMIX_CHOOSER");
    setenv("TOLMIX_STORE_DIR", (dir_.path() + "/store").c_str(), 1);
    setenv("TMPDIR", (dir_.path() + "/").c_str(), 1);
    unsetenv("XDG_RUNTIME_DIR");  // the private folder then sits under TMPDIR
    setenv("TZ", "UTC0", 1);
    tzset();
    using testing::CertSpec;
    ders_.push_back(Add(CertSpec().Cn("Alice").Issuer("CA One").NotAfter("20310531200000Z").Serial(1)));
    ders_.push_back(Add(CertSpec().Cn("\xE6\x9D\x8E\xE5\x9B\x9B").Issuer("CA Two")  // 李四
                            .NotAfter("20291231000000Z").Serial(2)));
    // A name with terminal escapes: shown with control pictures.
    ders_.push_back(Add(CertSpec().Cn("Evil\x1b[2J\x1b]0;PWNED\aName").Issuer("CA One")
                            .NotAfter("20280101000000Z").Serial(3)));
    TolmixGtkChooserSetShownHook(Hook, &session_);
  }
  void TearDown() override {
    TolmixGtkChooserSetShownHook(nullptr, nullptr);
    for (const char* v : {"DISPLAY", "TOLMIX_STORE_DIR", "TMPDIR", "TOLMIX_OPEN_COMMAND", "TZ"}) {
      unsetenv(v);
    }
  }
  std::vector<unsigned char> Add(const testing::CertSpec& shape) {
    auto der = testing::MakeDer(shape);
    EXPECT_TRUE(platform::ImportToMy(der, "", "", nullptr));
    return der;
  }

  static inline pid_t xvfb_ = -1;
  static inline std::string display_;
  testing::TempDir dir_;
  std::vector<std::vector<unsigned char>> ders_;
  Session session_;
};

TEST_F(GtkChooserTest, ShowsTheStoreAndConfirmsAChosenRow) {
  Session* s = &session_;
  s->steps = {
      [s](GtkWidget* dialog, int kind) {
        ASSERT_EQ(kind, 0);
        ReadList(s, dialog);
        Later(500, [s, dialog] {
          Screenshot(s, dialog);
          Click(dialog, "ok-button");  // nothing selected yet
        });
      },
      [](GtkWidget* box, int kind) {
        ASSERT_EQ(kind, 1);
        gtk_dialog_response(GTK_DIALOG(box), GTK_RESPONSE_OK);
      },
  };
  // After the message box the chooser is still open: choose row 1.
  GtkWidget** chooser = new GtkWidget*(nullptr);
  s->steps[0] = [s, first = s->steps[0], chooser](GtkWidget* dialog, int kind) {
    *chooser = dialog;
    first(dialog, kind);
  };
  s->steps[1] = [second = s->steps[1], chooser](GtkWidget* box, int kind) {
    second(box, kind);
    Later(100, [chooser] {
      SelectRow(*chooser, 1);
      Click(*chooser, "ok-button");
    });
  };

  CCertSelectDlg dlg;
  dlg.SetKeyUsageFilter(2);
  ASSERT_EQ(dlg.DoModal(), CCertSelectDlg::IDOK);
  delete chooser;

  EXPECT_EQ(s->columns, (std::vector<std::string>{"证书持有者", "颁发者", "证书截止日期", "密钥算法"}));
  EXPECT_EQ(s->rows, (std::vector<std::vector<std::string>>{
                         {"Alice", "CA One", "2031-05-31", "RSA"},
                         {"李四", "CA Two", "2029-12-31", "RSA"},
                         {"Evil␛[2J␛]0;PWNED␇Name", "CA One", "2028-01-01", "RSA"},
                     }));
  EXPECT_EQ(s->list_width, 468);   // 312 dialog units across
  EXPECT_EQ(s->list_height, 243);  // 150 dialog units down
  EXPECT_EQ(s->messages, std::vector<std::string>{"请选择证书"});
  EXPECT_TRUE(s->screenshot_ok) << s->screenshot;
  EXPECT_TRUE(std::filesystem::exists(s->screenshot));

  std::vector<unsigned char> out(CCertSelectDlg::kSelectedSize);
  ASSERT_EQ(dlg.GetSelectedCert(out.data(), out.size()), ders_[1].size());
  out.resize(ders_[1].size());
  EXPECT_EQ(out, ders_[1]);
}

TEST_F(GtkChooserTest, ViewsByButtonAndDoubleClickThenCancels) {
  std::string log = dir_.path() + "/opened.log", recorder = dir_.path() + "/recorder.sh";
  std::ofstream(recorder) << "#!/bin/sh\necho \"$1\" >> '" << log << "'\n";
  std::filesystem::permissions(recorder, std::filesystem::perms::owner_all);
  setenv("TOLMIX_OPEN_COMMAND", recorder.c_str(), 1);
  session_.steps = {[](GtkWidget* dialog, int) {
    SelectRow(dialog, 0);
    Click(dialog, "view-button");
    Later(50, [dialog] {
      GtkTreeView* tree = GTK_TREE_VIEW(FindByName(dialog, "cert-list"));
      GtkTreePath* path = gtk_tree_path_new_from_indices(2, -1);
      gtk_tree_view_row_activated(tree, path, gtk_tree_view_get_column(tree, 0));
      gtk_tree_path_free(path);
      Later(50, [dialog] { Click(dialog, "cancel-button"); });
    });
  }};
  CCertSelectDlg dlg;
  EXPECT_EQ(dlg.DoModal(), CCertSelectDlg::IDCANCEL);
  EXPECT_EQ(dlg.GetSelectedCert(nullptr, 0), 0u);
  std::string temp = dir_.path() + "/tolmix-" + std::to_string(geteuid()) + "/tempview.cer", opened;
  for (int i = 0; i < 100 && opened != temp + "\n" + temp + "\n"; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::ifstream f(log);
    opened.assign(std::istreambuf_iterator<char>(f), {});
  }
  EXPECT_EQ(opened, temp + "\n" + temp + "\n");
  std::ifstream f(temp, std::ios::binary);
  std::string written(std::istreambuf_iterator<char>(f), {});
  EXPECT_EQ(written, std::string(ders_[2].begin(), ders_[2].end()));  // the double-clicked row
}

}  // namespace
}  // namespace tolmix
