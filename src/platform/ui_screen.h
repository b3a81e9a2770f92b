// Painting on the curses screen for the terminal backend. What is painted
// comes from the widgets (ui_widgets.h); nothing here reads keys.
#pragma once

#define NCURSES_NOMACROS
#define NCURSES_WIDECHAR 1
#include <curses.h>

#include <string>
#include <vector>

#include "platform/ui_widgets.h"

namespace plat::ui::screen {

// Puts display text (see TerminalText) at y, x: at most maxCells cells.
void Put(int y, int x, const std::string& cells, int maxCells, attr_t attr);
void Fill(int y, int x, int width, attr_t attr);
// Text with '&' marking a letter, which is underlined.
void PutMarked(int y, int x, const std::string& text, attr_t attr);
void Frame(int top, int left, int height, int width, const std::string& caption);

// The menu bar's open popup, if any, with its top border on row top.
void DrawPopup(const widgets::MenuBar& menu, int top);
// Centred; the caret's place when an edit box has the focus.
void DrawDialog(widgets::DialogView& view, int* cursorY, int* cursorX);
void DrawMessageBox(const std::string& caption, const std::vector<std::string>& text);

}  // namespace plat::ui::screen
