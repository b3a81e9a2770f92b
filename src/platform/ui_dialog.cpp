// Dialogs in the terminal: where the controls go, and what a key does to
// the focus, the carets and the buttons.
#include <algorithm>

#include "platform/ui_widgets.h"

namespace plat::ui::widgets {

namespace {

bool Typeable(int key) {
    return key >= 0x20 && key <= 0xFF && key != 0x7F && !(key >= 0x80 && key < 0xA0);
}

constexpr int kDefaultEditWidth = 24;
constexpr int kMinEditWidth = 4;

}  // namespace

// ---------------------------------------------------------------- layout

bool IsTabStop(ControlKind kind) {
    return kind == ControlKind::Edit || kind == ControlKind::Password ||
           kind == ControlKind::Radio || IsButton(kind);
}
bool IsButton(ControlKind kind) {
    return kind == ControlKind::Button || kind == ControlKind::DefaultButton;
}
bool IsEdit(ControlKind kind) {
    return kind == ControlKind::Edit || kind == ControlKind::Password;
}

const PlacedControl* DialogLayout::Find(std::size_t index) const {
    for (const PlacedControl& p : placed)
        if (p.index == index) return &p;
    return nullptr;
}

namespace {

bool Joins(const Control& prev, const Control& cur) {
    if (cur.sameRow) return true;
    if (prev.kind == ControlKind::Label && IsEdit(cur.kind)) return true;
    if (IsButton(prev.kind) && IsButton(cur.kind)) return true;
    return prev.kind == ControlKind::Radio && cur.kind == ControlKind::Radio &&
           prev.group == cur.group;
}

// Cells a control takes on its row, brackets included.
int Span(const Control& c, int editWidth) {
    const int text = Cells(StripMnemonic(c.text));
    switch (c.kind) {
        case ControlKind::Edit:
        case ControlKind::Password:
            return editWidth + 2;
        case ControlKind::Radio:
            return text + 4;  // "(*) Yes"
        case ControlKind::Button:
        case ControlKind::DefaultButton:
            return text + 4;  // "[ OK ]"
        default:
            return text;
    }
}

int EditWidth(const Control& c) {
    return c.width > 0 ? c.width : kDefaultEditWidth;
}

}  // namespace

DialogLayout LayoutDialog(const Dialog& dialog, int maxWidth) {
    maxWidth = std::max(maxWidth, 1);
    const auto& controls = dialog.controls;

    std::vector<std::vector<std::size_t>> rows;
    const Control* prev = nullptr;
    for (std::size_t i = 0; i < controls.size(); ++i) {
        const Control& c = controls[i];
        if (c.kind == ControlKind::Icon && c.text.empty()) continue;
        if (prev && !rows.empty() && Joins(*prev, c))
            rows.back().push_back(i);
        else
            rows.push_back({i});
        prev = &c;
    }

    // Edit boxes captioned by a label start in one column.
    auto captioned = [&](const std::vector<std::size_t>& row) {
        return row.size() >= 2 && controls[row[0]].kind == ControlKind::Label &&
               IsEdit(controls[row[1]].kind);
    };
    int labelWidth = 0;
    for (const auto& row : rows)
        if (captioned(row)) labelWidth = std::max(labelWidth, Span(controls[row[0]], 0));

    std::vector<int> editWidth(controls.size());
    for (std::size_t i = 0; i < controls.size(); ++i) editWidth[i] = EditWidth(controls[i]);

    DialogLayout layout;
    for (int pass = 0; pass < 2; ++pass) {
        layout.placed.clear();
        layout.width = Cells(dialog.caption) + 2;
        int rowNo = 0;
        bool underGroupBox = false;
        std::vector<std::pair<std::size_t, int>> buttonRows;  // first placed, row width
        for (std::size_t r = 0; r < rows.size(); ++r) {
            const auto& row = rows[r];
            const Control& first = controls[row[0]];
            const bool buttons = IsButton(first.kind);
            if (buttons && rowNo > 0) ++rowNo;  // a blank row above the buttons
            if (first.kind == ControlKind::GroupBox)
                underGroupBox = true;
            else if (first.kind != ControlKind::Radio)
                underGroupBox = false;
            int col = (first.kind == ControlKind::Radio && underGroupBox) ? 2 : 0;
            const std::size_t firstPlaced = layout.placed.size();
            for (std::size_t k = 0; k < row.size(); ++k) {
                const Control& c = controls[row[k]];
                if (k == 1 && captioned(row)) col = labelWidth + 1;
                const int span = Span(c, editWidth[row[k]]);
                layout.placed.push_back(
                    {row[k], rowNo, col, IsEdit(c.kind) ? editWidth[row[k]] : span});
                col += span + (buttons ? 2 : 1);
            }
            const int rowWidth = col - (buttons ? 2 : 1);
            if (buttons) buttonRows.push_back({firstPlaced, rowWidth});
            layout.width = std::max(layout.width, rowWidth);
            ++rowNo;
        }
        layout.height = rowNo;
        if (pass == 0 && layout.width > maxWidth) {
            // Too wide for the screen: narrow the edit boxes of the rows that overflow.
            for (const auto& row : rows) {
                int overflow = 0;
                for (std::size_t i : row) {
                    const PlacedControl* p = layout.Find(i);
                    overflow = std::max(overflow, p->col + Span(controls[i], p->width) - maxWidth);
                }
                for (auto it = row.rbegin(); it != row.rend() && overflow > 0; ++it) {
                    if (!IsEdit(controls[*it].kind)) continue;
                    const int narrower = std::max(kMinEditWidth, editWidth[*it] - overflow);
                    overflow -= editWidth[*it] - narrower;
                    editWidth[*it] = narrower;
                }
            }
            continue;
        }
        layout.width = std::min(layout.width, maxWidth);
        for (const auto& [firstPlaced, rowWidth] : buttonRows) {
            const int shift = std::max(0, (layout.width - rowWidth) / 2);
            for (std::size_t k = firstPlaced; k < layout.placed.size(); ++k) {
                if (layout.placed[k].row != layout.placed[firstPlaced].row) break;
                layout.placed[k].col += shift;
            }
        }
        break;
    }
    return layout;
}

// ---------------------------------------------------------------- DialogView

DialogView::DialogView(Dialog& dialog, int maxWidth) : dialog_(dialog) {
    const auto& controls = dialog_.controls;
    if (dialog_.focus >= 0) {
        for (std::size_t i = 0; i < controls.size(); ++i) {
            if (controls[i].id == dialog_.focus && IsTabStop(controls[i].kind)) {
                focus_ = static_cast<int>(i);
                break;
            }
        }
    }
    if (focus_ < 0) {
        for (std::size_t i = 0; i < controls.size(); ++i) {
            if (IsTabStop(controls[i].kind)) {
                focus_ = static_cast<int>(i);
                break;
            }
        }
    }
    caret_.assign(controls.size(), 0);
    first_.assign(controls.size(), 0);
    for (std::size_t i = 0; i < controls.size(); ++i) caret_[i] = controls[i].text.size();
    Refresh(maxWidth);
}

std::size_t DialogView::Caret(std::size_t index) const {
    return index < caret_.size() ? caret_[index] : 0;
}
std::size_t DialogView::FirstShown(std::size_t index) const {
    return index < first_.size() ? first_[index] : 0;
}

void DialogView::Refresh(int maxWidth) {
    const auto& controls = dialog_.controls;
    caret_.resize(controls.size(), 0);
    first_.resize(controls.size(), 0);
    layout_ = LayoutDialog(dialog_, maxWidth);
    if (focus_ >= static_cast<int>(controls.size()) ||
        (focus_ >= 0 && !IsTabStop(controls[focus_].kind)))
        focus_ = -1;
    for (std::size_t i = 0; i < controls.size(); ++i) {
        caret_[i] = std::min(caret_[i], controls[i].text.size());
        KeepCaretShown(i);
    }
}

void DialogView::KeepCaretShown(std::size_t index) {
    const PlacedControl* p = layout_.Find(index);
    if (!p || !IsEdit(dialog_.controls[index].kind)) return;
    // The caret may sit just past the last character, so it needs a cell too.
    const std::size_t width = static_cast<std::size_t>(std::max(p->width, 1));
    if (caret_[index] < first_[index]) first_[index] = caret_[index];
    if (caret_[index] >= first_[index] + width) first_[index] = caret_[index] - width + 1;
    first_[index] = std::min(first_[index], dialog_.controls[index].text.size());
}

void DialogView::MoveFocus(int step) {
    const int n = static_cast<int>(dialog_.controls.size());
    if (n == 0) return;
    int i = focus_ < 0 ? (step > 0 ? -1 : n) : focus_;
    for (int tries = 0; tries < n; ++tries) {
        i = ((i + step) % n + n) % n;
        if (IsTabStop(dialog_.controls[i].kind)) {
            focus_ = i;
            return;
        }
    }
}

void DialogView::CheckRadio(std::size_t index) {
    Control& chosen = dialog_.controls[index];
    for (Control& c : dialog_.controls)
        if (c.kind == ControlKind::Radio && c.group == chosen.group) c.checked = false;
    chosen.checked = true;
}

KeyResult DialogView::Press(int id) {
    return {KeyResult::Command, id};
}

int DialogView::DefaultButtonId() const {
    for (const Control& c : dialog_.controls)
        if (c.kind == ControlKind::DefaultButton) return c.id;
    return 1;
}

int DialogView::ByMnemonic(char letter) const {
    const auto& controls = dialog_.controls;
    for (std::size_t i = 0; i < controls.size(); ++i) {
        const Control& c = controls[i];
        if (c.kind == ControlKind::Label || c.kind == ControlKind::GroupBox) {
            if (Mnemonic(c.text) != letter) continue;
            for (std::size_t j = i + 1; j < controls.size(); ++j)  // the control it captions
                if (IsTabStop(controls[j].kind)) return static_cast<int>(j);
            continue;
        }
        if (IsTabStop(c.kind) && Mnemonic(c.text) == letter) return static_cast<int>(i);
    }
    return -1;
}

KeyResult DialogView::EditKey(std::size_t index, int key) {
    std::string& text = dialog_.controls[index].text;
    std::size_t& caret = caret_[index];
    switch (key) {
        case kKeyLeft:
            if (caret > 0) --caret;
            break;
        case kKeyRight:
            if (caret < text.size()) ++caret;
            break;
        case kKeyHome:
            caret = 0;
            break;
        case kKeyEnd:
            caret = text.size();
            break;
        case kKeyBackspace:
            if (caret > 0) text.erase(--caret, 1);
            break;
        case kKeyDelete:
            if (caret < text.size()) text.erase(caret, 1);
            break;
        default:
            if (!Typeable(key)) return {};
            if (text.size() >= dialog_.controls[index].maxLength) break;
            text.insert(caret++, 1, static_cast<char>(key));
            break;
    }
    KeepCaretShown(index);
    return {KeyResult::Handled, 0};
}

KeyResult DialogView::OnKey(int key) {
    auto& controls = dialog_.controls;
    const Control* focused = focus_ >= 0 ? &controls[focus_] : nullptr;
    const ControlKind kind = focused ? focused->kind : ControlKind::Label;

    switch (key) {
        case kKeyEscape:
            return Press(2);
        case kKeyEnter:
            return Press(focused && IsButton(kind) ? focused->id : DefaultButtonId());
        case kKeyTab:
            MoveFocus(1);
            return {KeyResult::Handled, 0};
        case kKeyBackTab:
            MoveFocus(-1);
            return {KeyResult::Handled, 0};
        default:
            break;
    }
    if (focused && IsEdit(kind)) {
        if (key == kKeyUp) return MoveFocus(-1), KeyResult{KeyResult::Handled, 0};
        if (key == kKeyDown) return MoveFocus(1), KeyResult{KeyResult::Handled, 0};
        const KeyResult r = EditKey(static_cast<std::size_t>(focus_), key);
        if (r.kind != KeyResult::Ignored) return r;
    }
    if (focused && kind == ControlKind::Radio &&
        (key == kKeyUp || key == kKeyDown || key == kKeyLeft || key == kKeyRight)) {
        // Arrows walk the group and check as they go.
        const int step = (key == kKeyUp || key == kKeyLeft) ? -1 : 1;
        const int n = static_cast<int>(controls.size());
        int i = focus_;
        for (int tries = 0; tries < n; ++tries) {
            i = ((i + step) % n + n) % n;
            if (controls[i].kind == ControlKind::Radio && controls[i].group == focused->group)
                break;
        }
        focus_ = i;
        CheckRadio(static_cast<std::size_t>(i));
        return {KeyResult::Handled, 0};
    }
    if (key == ' ' && focused) {
        if (IsButton(kind)) return Press(focused->id);
        if (kind == ControlKind::Radio) {
            CheckRadio(static_cast<std::size_t>(focus_));
            return {KeyResult::Handled, 0};
        }
    }
    if (key == kKeyUp || key == kKeyLeft) return MoveFocus(-1), KeyResult{KeyResult::Handled, 0};
    if (key == kKeyDown || key == kKeyRight) return MoveFocus(1), KeyResult{KeyResult::Handled, 0};

    // Alt+letter anywhere, or a plain letter outside an edit box.
    int letter = 0;
    if ((key & kAltFlag) && key != kAltFlag)
        letter = key & 0xFF;
    else if (key > 0 && key < 0x100 && !(focused && IsEdit(kind)))
        letter = key;
    if (letter && std::isalnum(letter)) {
        const int target = ByMnemonic(Lower(static_cast<unsigned char>(letter)));
        if (target >= 0) {
            Control& c = controls[target];
            if (IsButton(c.kind)) return Press(c.id);
            focus_ = target;
            if (c.kind == ControlKind::Radio) CheckRadio(static_cast<std::size_t>(target));
            return {KeyResult::Handled, 0};
        }
    }
    return {KeyResult::Handled, 0};  // a modal dialog takes every key
}

}  // namespace plat::ui::widgets
