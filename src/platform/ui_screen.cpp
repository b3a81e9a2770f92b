// Painting on the curses screen: text in cells, frames, and the boxes that
// float over the main window (the open menu, dialogs, message boxes).
#include "platform/ui_screen.h"

#include <algorithm>

namespace plat::ui::screen {

using namespace widgets;

void Put(int y, int x, const std::string& cells, int maxCells, attr_t attr) {
    const int cols = getmaxx(stdscr), rows = getmaxy(stdscr);
    if (y < 0 || y >= rows) return;
    for (int i = 0; i < static_cast<int>(cells.size()) && i < maxCells; ++i) {
        if (x + i < 0) continue;
        if (x + i >= cols) break;
        const unsigned char c = static_cast<unsigned char>(cells[i]);
        if (c < 0x80) {
            mvwaddch(stdscr, y, x + i, static_cast<chtype>(c) | attr);
        } else {  // one byte, one Latin-1 cell
            const wchar_t wc[2] = {static_cast<wchar_t>(c), 0};
            cchar_t cc;
            setcchar(&cc, wc, attr, 0, nullptr);
            mvwadd_wch(stdscr, y, x + i, &cc);
        }
    }
}

void Fill(int y, int x, int width, attr_t attr) {
    Put(y, x, std::string(std::max(width, 0), ' '), width, attr);
}

void PutMarked(int y, int x, const std::string& text, attr_t attr) {
    const std::string stripped = StripMnemonic(text);
    const std::string cells = TerminalText(stripped);
    Put(y, x, cells, static_cast<int>(cells.size()), attr);
    const int at = MnemonicIndex(text);
    if (at >= 0 && cells.size() == stripped.size())
        Put(y, x + at, cells.substr(at, 1), 1, attr | A_UNDERLINE | A_BOLD);
}

void Frame(int top, int left, int height, int width, const std::string& caption) {
    for (int r = 0; r < height; ++r) Fill(top + r, left, width, A_NORMAL);
    const int rows = getmaxy(stdscr), cols = getmaxx(stdscr);
    auto at = [&](int y, int x, chtype ch) {
        if (y >= 0 && y < rows && x >= 0 && x < cols) mvwaddch(stdscr, y, x, ch);
    };
    for (int c = 1; c < width - 1; ++c) {
        at(top, left + c, ACS_HLINE);
        at(top + height - 1, left + c, ACS_HLINE);
    }
    for (int r = 1; r < height - 1; ++r) {
        at(top + r, left, ACS_VLINE);
        at(top + r, left + width - 1, ACS_VLINE);
    }
    at(top, left, ACS_ULCORNER);
    at(top, left + width - 1, ACS_URCORNER);
    at(top + height - 1, left, ACS_LLCORNER);
    at(top + height - 1, left + width - 1, ACS_LRCORNER);
    if (!caption.empty()) {
        const std::string shown = " " + caption + " ";
        const int w = std::min(static_cast<int>(shown.size()), width - 2);
        Put(top, left + std::max((width - w) / 2, 1), shown, w, A_BOLD);
    }
}

void DrawPopup(const MenuBar& menu, int top) {
    const int p = menu.OpenPopup();
    if (p < 0) return;
    const auto& items = menu.Popups()[p].items;
    int inner = 0;
    for (const MenuItem& item : items)
        inner =
            std::max(inner, static_cast<int>(TerminalText(StripMnemonic(item.text)).size()));
    const int width = inner + 4, height = static_cast<int>(items.size()) + 2;
    const int left = std::max(0, std::min(menu.TitleColumns()[p], getmaxx(stdscr) - width));
    Frame(top, left, height, width, "");
    const attr_t dim = (termattrs() & A_DIM) ? A_DIM : A_NORMAL;
    for (std::size_t i = 0; i < items.size(); ++i) {
        const int y = top + 1 + static_cast<int>(i);
        if (y >= getmaxy(stdscr)) break;
        const MenuItem& item = items[i];
        if (item.IsSeparator()) {
            mvwaddch(stdscr, y, left, ACS_LTEE);
            for (int c = 1; c < width - 1; ++c) mvwaddch(stdscr, y, left + c, ACS_HLINE);
            if (left + width - 1 < getmaxx(stdscr))
                mvwaddch(stdscr, y, left + width - 1, ACS_RTEE);
            continue;
        }
        attr_t attr = item.grayed ? dim : A_NORMAL;
        if (static_cast<int>(i) == menu.Selected()) attr = A_REVERSE;
        Fill(y, left + 1, width - 2, attr);
        if (item.grayed)
            Put(y, left + 2, TerminalText(StripMnemonic(item.text)), inner, attr);
        else
            PutMarked(y, left + 2, item.text, attr);
    }
}

void DrawDialog(DialogView& view, int* cursorY, int* cursorX) {
    const Dialog& d = view.Model();
    const DialogLayout& layout = view.Layout();
    const int width = layout.width + 4, height = layout.height + 4;
    const int top = std::max((getmaxy(stdscr) - height) / 2, 0);
    const int left = std::max((getmaxx(stdscr) - width) / 2, 0);
    Frame(top, left, height, width, TerminalText(d.caption));
    for (const PlacedControl& p : layout.placed) {
        const Control& c = d.controls[p.index];
        const bool focused = view.Focus() == static_cast<int>(p.index);
        const int y = top + 2 + p.row, x = left + 2 + p.col;
        const int room = left + width - 2 - x;  // cells left inside the frame
        if (room <= 0) continue;
        switch (c.kind) {
            case ControlKind::Edit:
            case ControlKind::Password: {
                const std::size_t first = view.FirstShown(p.index);
                std::string cells = c.kind == ControlKind::Password
                                        ? std::string(c.text.size(), '*')
                                        : TerminalText(c.text);
                // Typed text is printable, so characters and cells agree.
                cells = first < cells.size() ? cells.substr(first, p.width) : std::string();
                cells.resize(p.width, ' ');
                Put(y, x, "[", room, A_NORMAL);
                Put(y, x + 1, cells, std::min(p.width, room - 1),
                    focused ? A_REVERSE : A_UNDERLINE);
                Put(y, x + 1 + p.width, "]", room - 1 - p.width, A_NORMAL);
                if (focused) {
                    *cursorY = y;
                    *cursorX = x + 1 + static_cast<int>(view.Caret(p.index) - first);
                }
                break;
            }
            case ControlKind::Radio:
                Put(y, x, c.checked ? "(*) " : "( ) ", room, A_NORMAL);
                if (room > 4) PutMarked(y, x + 4, c.text, focused ? A_REVERSE : A_NORMAL);
                break;
            case ControlKind::Button:
            case ControlKind::DefaultButton: {
                attr_t attr = c.kind == ControlKind::DefaultButton ? A_BOLD : A_NORMAL;
                if (focused) attr |= A_REVERSE;
                Put(y, x, "[ ", room, attr);
                PutMarked(y, x + 2, c.text, attr);
                Put(y, x + 2 + static_cast<int>(StripMnemonic(c.text).size()), " ]", 2, attr);
                break;
            }
            case ControlKind::GroupBox:
                PutMarked(y, x, c.text, A_BOLD);
                break;
            default:
                PutMarked(y, x, c.text, A_NORMAL);
                break;
        }
    }
    // Anything that overflowed the frame on the right is painted over.
    for (int r = 1; r < height - 1; ++r) {
        if (left + width - 1 < getmaxx(stdscr))
            mvwaddch(stdscr, top + r, left + width - 1, ACS_VLINE);
    }
}

void DrawMessageBox(const std::string& caption, const std::vector<std::string>& text) {
    int inner = static_cast<int>(caption.size()) + 2;
    for (const std::string& line : text)
        inner = std::max(inner, static_cast<int>(line.size()));
    inner = std::max(inner, 10);
    const int lines = static_cast<int>(text.size());
    const int width = inner + 4, height = lines + 6;
    const int top = std::max((getmaxy(stdscr) - height) / 2, 0);
    const int left = std::max((getmaxx(stdscr) - width) / 2, 0);
    Frame(top, left, height, width, caption);
    for (int i = 0; i < lines; ++i) Put(top + 2 + i, left + 2, text[i], inner, A_NORMAL);
    Put(top + 3 + lines, left + (width - 6) / 2, "[ OK ]", 6, A_REVERSE | A_BOLD);
}

}  // namespace plat::ui::screen
