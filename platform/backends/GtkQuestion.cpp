// GTK 3 question box of the backend library: a modal message with a row of
// buttons, for questions that are not the certificate chooser (the bridge's
// consent to a web origin).  Texts arrive as UTF-8.
#include <gtk/gtk.h>

namespace {

using ShownHook = void (*)(void* dialog, void* data);
ShownHook g_questionHook = nullptr;
void* g_questionHookData = nullptr;

}  // namespace

// Shows TITLE and TEXT with COUNT buttons labelled BUTTONS[i] and returns the
// index of the button pressed, or -1 when the box is closed otherwise or GTK
// cannot open the display.  Must always be called from the same thread.
extern "C" __attribute__((visibility("default"))) int TolmixGtkAsk(const char* title,
                                                                   const char* text,
                                                                   const char* const* buttons,
                                                                   int count) {
  if (!gtk_init_check(nullptr, nullptr)) return -1;
  GtkWidget* box = gtk_message_dialog_new(nullptr, GTK_DIALOG_MODAL, GTK_MESSAGE_QUESTION,
                                          GTK_BUTTONS_NONE, "%s", text);
  gtk_window_set_title(GTK_WINDOW(box), title);
  gtk_window_set_keep_above(GTK_WINDOW(box), TRUE);
  for (int i = 0; i < count; ++i) gtk_dialog_add_button(GTK_DIALOG(box), buttons[i], i);
  if (g_questionHook) {
    g_idle_add(
        [](gpointer dialog) -> gboolean {
          if (g_questionHook) g_questionHook(dialog, g_questionHookData);
          return G_SOURCE_REMOVE;
        },
        box);
  }
  int response = gtk_dialog_run(GTK_DIALOG(box));
  gtk_widget_destroy(box);
  while (gtk_events_pending()) gtk_main_iteration();
  return response >= 0 && response < count ? response : -1;
}

// Test hook: HOOK(dialog, DATA) runs from the main loop once each question
// box is up; null removes it.
extern "C" __attribute__((visibility("default"))) void TolmixGtkQuestionSetShownHook(
    ShownHook hook, void* data) {
  g_questionHook = hook;
  g_questionHookData = data;
}
