#include <cstdio>

#include "platform/dialog.h"
#include "platform/dialog_ui.h"

namespace {

DialogUi* uiOf(DialogHandle dialog) {
  return static_cast<DialogUi*>(dialog);
}

}  // namespace

void setDlgItemText(DialogHandle dialog, int id, const std::string& text) {
  if (dialog) uiOf(dialog)->setText(id, text);
}

void setProgressRange(DialogHandle dialog, int id, int low, int high) {
  if (dialog) uiOf(dialog)->setRange(id, low, high);
}

void setProgressPos(DialogHandle dialog, int id, int pos) {
  if (dialog) uiOf(dialog)->setPos(id, pos);
}

void endDialog(DialogHandle dialog, int result) {
  if (dialog) uiOf(dialog)->end(result);
}

void messageBox(DialogHandle dialog, const std::string& text, const std::string& caption) {
  if (dialog) {
    uiOf(dialog)->messageBox(text, caption);
  } else {
    std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
  }
}
