#include "platform/ui_widgets.h"

#include <algorithm>
#include <cctype>

namespace plat::ui::widgets {

char Lower(unsigned char c) {
    return static_cast<char>(std::tolower(c));
}

int Cells(const std::string& text) {
    return static_cast<int>(TerminalText(text).size());
}

std::string StripMnemonic(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '&' && i + 1 < text.size()) ++i;
        out += text[i];
    }
    return out;
}

int MnemonicIndex(const std::string& text) {
    int shown = 0;
    for (std::size_t i = 0; i < text.size(); ++i, ++shown) {
        if (text[i] != '&' || i + 1 >= text.size()) continue;
        ++i;
        if (text[i] != '&') return shown;
    }
    return -1;
}

char Mnemonic(const std::string& text) {
    const int at = MnemonicIndex(text);
    if (at < 0) return 0;
    return Lower(static_cast<unsigned char>(StripMnemonic(text)[at]));
}

std::string TerminalText(const std::string& text) {
    const std::string clean = Sanitize(text);
    std::string out;
    out.reserve(clean.size());
    for (unsigned char c : clean) {
        if (c >= 0x80 && c < 0xA0) {
            out += "M-^";
            out += static_cast<char>(c - 0x80 + 0x40);
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

// The group name goes last: it is the one part of any length, so a narrow
// screen cuts it rather than the counts.
std::string FormatStatus(const Status& status) {
    std::string line = status.connection.empty() ? "Disconnected" : status.connection;
    line += " | Fetched: " + std::to_string(status.fetched);
    line += " | Next: ";
    line +=
        status.minutesToNext < 0 ? std::string("-") : std::to_string(status.minutesToNext) + " min";
    line += " | Group: " + (status.group.empty() ? std::string("-") : status.group);
    return line;
}

std::vector<std::string> WrapText(const std::string& text, int width) {
    width = std::max(width, 1);
    std::vector<std::string> out;
    std::size_t start = 0;
    while (true) {
        const std::size_t end = text.find('\n', start);
        std::string paragraph = text.substr(start, end == std::string::npos ? end : end - start);
        std::string line;
        std::size_t i = 0;
        while (i < paragraph.size()) {
            while (i < paragraph.size() && paragraph[i] == ' ') ++i;
            std::size_t j = paragraph.find(' ', i);
            if (j == std::string::npos) j = paragraph.size();
            std::string word = paragraph.substr(i, j - i);
            i = j;
            if (word.empty()) break;
            while (static_cast<int>(word.size()) > width) {  // a word too long for any line
                if (!line.empty()) out.push_back(std::move(line)), line.clear();
                out.push_back(word.substr(0, width));
                word.erase(0, width);
            }
            if (word.empty()) continue;
            if (!line.empty() && static_cast<int>(line.size() + 1 + word.size()) > width) {
                out.push_back(std::move(line));
                line.clear();
            }
            if (!line.empty()) line += ' ';
            line += word;
        }
        out.push_back(std::move(line));
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return out;
}

// ---------------------------------------------------------------- LogView

std::size_t LogView::MaxTop() const {
    const std::size_t h = static_cast<std::size_t>(height_);
    return lines_.size() > h ? lines_.size() - h : 0;
}

void LogView::ScrollTo(std::size_t top) {
    top_ = std::min(top, MaxTop());
    follow_ = top_ == MaxTop();
}

void LogView::Add(std::string line) {
    lines_.push_back(std::move(line));
    if (lines_.size() > capacity_) {
        lines_.pop_front();
        if (!follow_ && top_ > 0) --top_;  // keep the same lines in view
    }
    if (follow_) top_ = MaxTop();
}

void LogView::Reset() {
    lines_.clear();
    top_ = 0;
    follow_ = true;
}

void LogView::SetHeight(int rows) {
    height_ = std::max(rows, 0);
    if (follow_)
        top_ = MaxTop();
    else
        ScrollTo(top_);
}

KeyResult LogView::OnKey(int key) {
    const std::size_t page = static_cast<std::size_t>(std::max(height_ - 1, 1));
    switch (key) {
        case kKeyUp:
            ScrollTo(top_ > 0 ? top_ - 1 : 0);
            break;
        case kKeyDown:
            ScrollTo(top_ + 1);
            break;
        case kKeyPageUp:
            ScrollTo(top_ > page ? top_ - page : 0);
            break;
        case kKeyPageDown:
            ScrollTo(top_ + page);
            break;
        case kKeyHome:
            ScrollTo(0);
            break;
        case kKeyEnd:
            ScrollTo(MaxTop());
            break;
        default:
            return {};
    }
    return {KeyResult::Handled, 0};
}

// ---------------------------------------------------------------- MenuBar

void MenuBar::Set(const Menu& menu) {
    menu_ = menu;
    Close();
}

bool MenuBar::SetGrayed(unsigned command, bool grayed) {
    bool found = false;
    for (MenuPopup& popup : menu_) {
        for (MenuItem& item : popup.items) {
            if (item.IsSeparator() || item.command != command) continue;
            item.grayed = grayed;
            found = true;
        }
    }
    // The selection must not rest on an item that just became grayed.
    if (found && IsOpen() && selected_ >= 0 && !Selectable(open_, selected_)) Open(open_);
    return found;
}

bool MenuBar::Grayed(unsigned command) const {
    for (const MenuPopup& popup : menu_)
        for (const MenuItem& item : popup.items)
            if (!item.IsSeparator() && item.command == command) return item.grayed;
    return false;
}

bool MenuBar::Selectable(int popup, int item) const {
    const auto& items = menu_[popup].items;
    if (item < 0 || item >= static_cast<int>(items.size())) return false;
    return !items[item].IsSeparator() && !items[item].grayed;
}

void MenuBar::Open(int popup) {
    const int n = static_cast<int>(menu_.size());
    if (n == 0) return Close();
    open_ = ((popup % n) + n) % n;
    selected_ = -1;
    const int items = static_cast<int>(menu_[open_].items.size());
    for (int i = 0; i < items; ++i) {
        if (Selectable(open_, i)) {
            selected_ = i;
            break;
        }
    }
}

void MenuBar::Close() {
    open_ = -1;
    selected_ = -1;
}

void MenuBar::Move(int step) {
    const int n = static_cast<int>(menu_[open_].items.size());
    if (n == 0) return;
    int i = selected_ < 0 ? (step > 0 ? -1 : n) : selected_;
    for (int tries = 0; tries < n; ++tries) {
        i = ((i + step) % n + n) % n;
        if (Selectable(open_, i)) {
            selected_ = i;
            return;
        }
    }
}

KeyResult MenuBar::OnKey(int key) {
    if ((key & kAltFlag) && key != kAltFlag) {
        const char letter = Lower(static_cast<unsigned char>(key & 0xFF));
        for (std::size_t p = 0; p < menu_.size(); ++p) {
            if (Mnemonic(menu_[p].text) == letter) {
                Open(static_cast<int>(p));
                return {KeyResult::Handled, 0};
            }
        }
        return IsOpen() ? KeyResult{KeyResult::Handled, 0} : KeyResult{};
    }
    if (!IsOpen()) {
        if (key != kKeyF10 || menu_.empty()) return {};
        Open(0);
        return {KeyResult::Handled, 0};
    }
    switch (key) {
        case kKeyEscape:
        case kKeyF10:
            Close();
            break;
        case kKeyLeft:
            Open(open_ - 1);
            break;
        case kKeyRight:
            Open(open_ + 1);
            break;
        case kKeyUp:
            Move(-1);
            break;
        case kKeyDown:
            Move(1);
            break;
        case kKeyHome:
            selected_ = -1;
            Move(1);
            break;
        case kKeyEnd:
            selected_ = -1;
            Move(-1);
            break;
        case kKeyEnter: {
            if (selected_ < 0) break;
            const unsigned command = menu_[open_].items[selected_].command;
            Close();
            return {KeyResult::Command, static_cast<int>(command)};
        }
        default:
            if (key > 0 && key < 0x100 && std::isalnum(key)) {
                const char letter = Lower(static_cast<unsigned char>(key));
                const auto& items = menu_[open_].items;
                for (std::size_t i = 0; i < items.size(); ++i) {
                    if (!Selectable(open_, static_cast<int>(i))) continue;
                    if (Mnemonic(items[i].text) != letter) continue;
                    const unsigned command = items[i].command;
                    Close();
                    return {KeyResult::Command, static_cast<int>(command)};
                }
            }
            break;
    }
    return {KeyResult::Handled, 0};
}

std::vector<int> MenuBar::TitleColumns() const {
    std::vector<int> cols;
    int col = 0;
    for (const MenuPopup& popup : menu_) {
        cols.push_back(col);
        col += Cells(StripMnemonic(popup.text)) + 2;
    }
    return cols;
}

}  // namespace plat::ui::widgets
