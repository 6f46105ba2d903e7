// The consent question as the user sees it: the GTK backend is chosen when
// a display is present, shows the exact origin, and each button gives its
// answer.  Run under xvfb-run; the dialog is answered from inside the
// process through the question box's shown hook.
#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <stdlib.h>

#include <string>

#include "bridge/Consent.h"

extern "C" void TolmixGtkQuestionSetShownHook(void (*hook)(void*, void*), void* data);

namespace tolmix::bridge {
namespace {

struct Seen {
  int response = 0;
  std::string text, title;
};

void Answer(void* dialog, void* data) {
  auto* seen = static_cast<Seen*>(data);
  gchar* text = nullptr;
  g_object_get(dialog, "text", &text, nullptr);
  seen->text = text ? text : "";
  g_free(text);
  seen->title = gtk_window_get_title(GTK_WINDOW(dialog));
  gtk_dialog_response(GTK_DIALOG(dialog), seen->response);
}

TEST(GtkConsentTest, EachButtonGivesItsAnswer) {
  ASSERT_NE(getenv("DISPLAY"), nullptr) << "run under xvfb-run";
  unsetenv("TOLMIX_CONSENT");
  std::unique_ptr<ConsentBackend> backend = MakeConsentBackend();
  ASSERT_STREQ(backend->Name(), "gtk");
  struct Case {
    int response;
    bool allow, remember;
  } cases[] = {
      {2, true, true},                          // Allow
      {1, true, false},                         // Allow once
      {0, false, true},                         // Deny
      {GTK_RESPONSE_DELETE_EVENT, false, false}, // closed: asked again next time
  };
  for (const Case& c : cases) {
    Seen seen;
    seen.response = c.response;
    TolmixGtkQuestionSetShownHook(Answer, &seen);
    ConsentAnswer a = backend->Ask("https://www.example.cn:8443");
    EXPECT_EQ(a.allow, c.allow) << c.response;
    EXPECT_EQ(a.remember, c.remember) << c.response;
    EXPECT_NE(seen.text.find("https://www.example.cn:8443"), std::string::npos) << seen.text;
    EXPECT_EQ(seen.title, "tolmix");
  }
  TolmixGtkQuestionSetShownHook(nullptr, nullptr);
}

}  // namespace
}  // namespace tolmix::bridge
