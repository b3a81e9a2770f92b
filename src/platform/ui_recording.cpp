#include "platform/ui_recording.h"

namespace plat::ui {

RecordingBackend::RecordingBackend(int clientWidth, int clientHeight)
    : width_(clientWidth), height_(clientHeight) {}

const MenuItem* RecordingBackend::FindItem(unsigned command) const {
    for (const MenuPopup& popup : menu_)
        for (const MenuItem& item : popup.items)
            if (!item.IsSeparator() && item.command == command) return &item;
    return nullptr;
}

void RecordingBackend::SetMenuItemGrayed(unsigned command, bool grayed) {
    for (MenuPopup& popup : menu_)
        for (MenuItem& item : popup.items)
            if (!item.IsSeparator() && item.command == command) item.grayed = grayed;
}

bool RecordingBackend::MenuItemGrayed(unsigned command) const {
    const MenuItem* item = FindItem(command);
    return item && item->grayed;
}

bool RecordingBackend::HasMenuItem(unsigned command) const {
    return FindItem(command) != nullptr;
}

void RecordingBackend::PostSize() {
    if (main_ == 0) return;
    const LParam size = (static_cast<LParam>(height_ & 0xFFFF) << 16) | (width_ & 0xFFFF);
    PostMessage(main_, msg::Size, 0, size);
}

void RecordingBackend::Show() {
    shown_ = true;
    PostSize();
}

void RecordingBackend::Resize(int clientWidth, int clientHeight) {
    width_ = clientWidth;
    height_ = clientHeight;
    PostSize();
}

void RecordingBackend::LogAdd(const std::string& line) {
    log_.push_back(Sanitize(line));
}

void RecordingBackend::LogReset() {
    log_.clear();
    ++resets_;
}

void RecordingBackend::SetLogBounds(int x, int y, int width, int height) {
    bounds_ = {x, y, width, height};
}

void RecordingBackend::SetStatus(const Status& status) {
    status_ = status;
    ++statusUpdates_;
}

bool RecordingBackend::Choose(unsigned command) {
    const MenuItem* item = FindItem(command);
    if (!item || item->grayed || main_ == 0) return false;
    return PostMessage(main_, msg::Command, command, 0);
}

void RecordingBackend::QueueDialogAnswer(DialogAnswer answer) {
    queued_.push_back(std::move(answer));
}

int RecordingBackend::RunDialog(Dialog& dialog) {
    DialogAnswer answer;
    if (!queued_.empty()) {
        answer = std::move(queued_.front());
        queued_.pop_front();
    } else {
        answer = standing_;
    }
    DialogRun run;
    run.caption = dialog.caption;
    run.opened = dialog;
    run.opened.onCommand = nullptr;
    const std::size_t slot = dialogs_.size();
    dialogs_.push_back(run);  // visible to an answer that looks at Dialogs()

    int result = 2;
    if (answer) {
        for (int press = 0; press < kMaxPresses; ++press) {
            const int id = answer(dialog);
            dialogs_[slot].presses.push_back(id);
            if (!dialog.onCommand || dialog.onCommand(dialog, id)) {
                result = id;
                break;
            }
        }
    }
    dialogs_[slot].result = result;
    return result;
}

void RecordingBackend::MessageBox(const std::string& caption, const std::string& text) {
    // Line breaks stay line breaks; everything else is cleaned as the log is.
    std::string shown;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        shown += Sanitize(text.substr(start, end - start)) + '\n';
    shown += Sanitize(text.substr(start));
    boxes_.push_back({Sanitize(caption), shown});
}

}  // namespace plat::ui
