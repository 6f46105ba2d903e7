// GTK 3 chooser backend, built as libtolmix_gtk_chooser.so and loaded at run
// time by platform/Chooser.cpp, so the core never links GTK.  Texts arrive
// as UTF-8.
//
// Layout: the dialog template's dialog units are placed on a GtkFixed with
// 1 du across = 1.5 px and 1 du down = 1.625 px (DialogUnitsToPixels*).
// Widget names for tests and theming: "cert-list" (the GtkTreeView),
// "view-button", "ok-button", "cancel-button".
#include <gtk/gtk.h>

#include "platform/Chooser.h"
#include "util/ControlText.h"

namespace {

using tolmix::platform::ChooserBackend;
using tolmix::platform::ChooserDialog;
using tolmix::platform::ChooserEvents;
using tolmix::platform::ChooserResult;
using tolmix::platform::DialogRect;
using tolmix::platform::DialogUnitsToPixelsX;
using tolmix::platform::DialogUnitsToPixelsY;

// Response of the view button and of a row activation (the button's
// control ID in the dialog template).
constexpr int kViewResponse = 201;

using ShownHook = void (*)(void* window, int kind, void* data);
ShownHook g_hook = nullptr;
void* g_hookData = nullptr;

// Calls the test hook once the window is on the screen.
void ScheduleHook(GtkWidget* window, int kind) {
  if (!g_hook) return;
  struct Call {
    GtkWidget* window;
    int kind;
  };
  auto* call = new Call{window, kind};
  g_idle_add(
      [](gpointer p) -> gboolean {
        auto* c = static_cast<Call*>(p);
        if (g_hook) g_hook(c->window, c->kind, g_hookData);
        delete c;
        return G_SOURCE_REMOVE;
      },
      call);
}

void DrainEvents() {
  while (gtk_events_pending()) gtk_main_iteration();
}

void Place(GtkFixed* fixed, GtkWidget* w, const DialogRect& r) {
  gtk_widget_set_size_request(w, DialogUnitsToPixelsX(r.cx), DialogUnitsToPixelsY(r.cy));
  gtk_fixed_put(fixed, w, DialogUnitsToPixelsX(r.x), DialogUnitsToPixelsY(r.y));
}

GtkWidget* AddButton(GtkWidget* dialog, GtkFixed* fixed, const std::string& label,
                     const DialogRect& r, const char* name, int response) {
  GtkWidget* b = gtk_button_new_with_label(label.c_str());
  gtk_widget_set_name(b, name);
  Place(fixed, b, r);
  g_object_set_data(G_OBJECT(b), "tolmix-response", GINT_TO_POINTER(response));
  g_signal_connect(b, "clicked", G_CALLBACK(+[](GtkButton* button, gpointer d) {
                     gtk_dialog_response(GTK_DIALOG(d), GPOINTER_TO_INT(g_object_get_data(
                                                            G_OBJECT(button), "tolmix-response")));
                   }),
                   dialog);
  return b;
}

GtkWidget* BuildList(const ChooserDialog& d) {
  const int ncols = static_cast<int>(d.columns.size());
  std::vector<GType> types(static_cast<size_t>(ncols), G_TYPE_STRING);
  GtkListStore* store = gtk_list_store_newv(ncols, types.data());
  for (const auto& row : d.rows) {
    GtkTreeIter it;
    gtk_list_store_append(store, &it);
    for (int c = 0; c < ncols && c < static_cast<int>(row.size()); ++c) {
      // Control characters of a name show as marks (see util/ControlText.h).
      const std::string shown = tolmix::ShowControls(row[static_cast<size_t>(c)]);
      gtk_list_store_set(store, &it, c, shown.c_str(), -1);
    }
  }
  GtkWidget* tree = gtk_tree_view_new_with_model(GTK_TREE_MODEL(store));
  g_object_unref(store);  // the view holds its own reference
  gtk_widget_set_name(tree, "cert-list");
  for (int c = 0; c < ncols; ++c) {
    GtkCellRenderer* text = gtk_cell_renderer_text_new();
    GtkTreeViewColumn* col = gtk_tree_view_column_new_with_attributes(
        d.columns[static_cast<size_t>(c)].title.c_str(), text, "text", c, nullptr);
    gtk_tree_view_column_set_sizing(col, GTK_TREE_VIEW_COLUMN_FIXED);
    gtk_tree_view_column_set_fixed_width(col, d.columns[static_cast<size_t>(c)].width);
    gtk_tree_view_column_set_resizable(col, TRUE);
    gtk_tree_view_append_column(GTK_TREE_VIEW(tree), col);
  }
  gtk_tree_view_set_grid_lines(GTK_TREE_VIEW(tree), GTK_TREE_VIEW_GRID_LINES_BOTH);
  gtk_tree_selection_set_mode(gtk_tree_view_get_selection(GTK_TREE_VIEW(tree)),
                              GTK_SELECTION_SINGLE);
  return tree;
}

int SelectedRow(GtkWidget* tree) {
  GtkTreeModel* model = nullptr;
  GtkTreeIter it;
  if (!gtk_tree_selection_get_selected(gtk_tree_view_get_selection(GTK_TREE_VIEW(tree)), &model,
                                       &it)) {
    return -1;
  }
  GtkTreePath* path = gtk_tree_model_get_path(model, &it);
  int row = gtk_tree_path_get_indices(path)[0];
  gtk_tree_path_free(path);
  return row;
}

class GtkChooser : public ChooserBackend {
 public:
  ChooserResult Run(const ChooserDialog& d, ChooserEvents* events) override {
    GtkWidget* dialog = gtk_dialog_new();
    gtk_window_set_title(GTK_WINDOW(dialog), d.title.c_str());
    gtk_window_set_modal(GTK_WINDOW(dialog), TRUE);
    gtk_window_set_resizable(GTK_WINDOW(dialog), FALSE);
    GtkWidget* fixed = gtk_fixed_new();
    gtk_widget_set_size_request(fixed, DialogUnitsToPixelsX(d.width),
                                DialogUnitsToPixelsY(d.height));
    gtk_container_add(GTK_CONTAINER(gtk_dialog_get_content_area(GTK_DIALOG(dialog))), fixed);

    GtkWidget* tree = BuildList(d);
    GtkWidget* scrolled = gtk_scrolled_window_new(nullptr, nullptr);
    gtk_scrolled_window_set_shadow_type(GTK_SCROLLED_WINDOW(scrolled), GTK_SHADOW_IN);
    gtk_container_add(GTK_CONTAINER(scrolled), tree);
    Place(GTK_FIXED(fixed), scrolled, d.list);
    // A double click views the row it lands on, selected first.
    g_signal_connect(tree, "row-activated",
                     G_CALLBACK(+[](GtkTreeView* view, GtkTreePath* path, GtkTreeViewColumn*,
                                    gpointer dlg) {
                       gtk_tree_selection_select_path(gtk_tree_view_get_selection(view), path);
                       gtk_dialog_response(GTK_DIALOG(dlg), kViewResponse);
                     }),
                     dialog);
    AddButton(dialog, GTK_FIXED(fixed), d.view_label, d.view_button, "view-button", kViewResponse);
    GtkWidget* ok =
        AddButton(dialog, GTK_FIXED(fixed), d.ok_label, d.ok_button, "ok-button", GTK_RESPONSE_OK);
    AddButton(dialog, GTK_FIXED(fixed), d.cancel_label, d.cancel_button, "cancel-button",
              GTK_RESPONSE_CANCEL);
    gtk_widget_set_can_default(ok, TRUE);
    gtk_window_set_default(GTK_WINDOW(dialog), ok);

    gtk_widget_show_all(dialog);
    // The OK button takes the first focus: a focused tree view would select
    // its first row by itself, and the list starts with nothing selected.
    gtk_widget_grab_focus(ok);
    gtk_tree_selection_unselect_all(gtk_tree_view_get_selection(GTK_TREE_VIEW(tree)));
    current_ = dialog;
    ScheduleHook(dialog, 0);
    ChooserResult result = ChooserResult::kCancel;
    for (;;) {
      int response = gtk_dialog_run(GTK_DIALOG(dialog));
      if (response == kViewResponse) {
        events->OnView(SelectedRow(tree));
      } else if (response == GTK_RESPONSE_OK) {
        if (events->OnOk(SelectedRow(tree))) {
          result = ChooserResult::kOk;
          break;
        }
      } else {
        break;  // cancel button, close box, Escape, or the dialog destroyed
      }
    }
    current_ = nullptr;
    gtk_widget_destroy(dialog);
    DrainEvents();
    return result;
  }

  void ShowMessage(const std::string& text) override {
    GtkWidget* box = gtk_message_dialog_new(current_ ? GTK_WINDOW(current_) : nullptr,
                                            GTK_DIALOG_MODAL, GTK_MESSAGE_WARNING,
                                            GTK_BUTTONS_OK, "%s", tolmix::ShowControls(text).c_str());
    gtk_window_set_title(GTK_WINDOW(box), "tolmix");
    ScheduleHook(box, 1);
    gtk_dialog_run(GTK_DIALOG(box));
    gtk_widget_destroy(box);
    DrainEvents();
  }

  const char* Name() const override { return "gtk"; }

 private:
  GtkWidget* current_ = nullptr;  // the chooser while it runs: owner of message boxes
};

}  // namespace

// Factory looked up by platform/Chooser.cpp: a new backend, or null when
// GTK cannot open the display.
extern "C" __attribute__((visibility("default"))) ChooserBackend* TolmixCreateGtkChooser() {
  if (!gtk_init_check(nullptr, nullptr)) return nullptr;
  return new GtkChooser();
}

// Test hook: HOOK(window, kind, DATA) runs from the main loop after each
// window is shown; kind 0 is the chooser (a GtkDialog), 1 a message box.
// Null removes the hook.
extern "C" __attribute__((visibility("default"))) void TolmixGtkChooserSetShownHook(
    ShownHook hook, void* data) {
  g_hook = hook;
  g_hookData = data;
}
