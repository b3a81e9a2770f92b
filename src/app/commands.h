// Menu commands and completion messages of the main window.
#pragma once

#include "platform/message_loop.h"

namespace app {

// Menu commands (msg::Command, the whole wParam).
constexpr unsigned IDM_SETUP = 40000;
constexpr unsigned IDM_CONNECT = 40001;
constexpr unsigned IDM_DISCONNECT = 40002;
constexpr unsigned IDM_EXIT = 40003;
constexpr unsigned IDM_GET_GROUP_LIST = 40004;
constexpr unsigned IDM_SUBSCRIBE = 40005;
constexpr unsigned IDM_UNSUBSCRIBE = 40006;
constexpr unsigned IDM_FETCH_ALL = 40007;  // no menu item
constexpr unsigned IDM_POST_ALL = 40008;   // no menu item; sent at the end of a fetch
constexpr unsigned IDM_EXPIRE = 40009;
constexpr unsigned IDM_ABOUT = 40010;
constexpr unsigned IDM_RESET_LOG = 40016;
constexpr unsigned IDM_STOP_TIMER = 40019;
constexpr unsigned IDM_RESTART_TIMER = 40020;

// Completion messages: wParam is the session's result (only 1 is success),
// lParam the data of the operation.
constexpr unsigned MAIN_MSG_CONNECT_DONE = plat::msg::User + 0;
constexpr unsigned MAIN_MSG_GROUP_DONE = plat::msg::User + 1;
constexpr unsigned MAIN_MSG_ARTICLE_DONE = plat::msg::User + 2;
constexpr unsigned MAIN_MSG_NEXT_DONE = plat::msg::User + 3;
constexpr unsigned MAIN_MSG_LIST_DONE = plat::msg::User + 4;
constexpr unsigned MAIN_MSG_POST_DONE = plat::msg::User + 5;
constexpr unsigned MAIN_MSG_QUIT_DONE = plat::msg::User + 6;
constexpr unsigned MAIN_MSG_GROUP_FINISHED = plat::msg::User + 7;  // sent, not posted
constexpr unsigned MAIN_MSG_USER_DONE = plat::msg::User + 9;
constexpr unsigned MAIN_MSG_PASS_DONE = plat::msg::User + 10;
constexpr unsigned MAIN_MSG_ARTICLES_LISTED = plat::msg::User + 11;
constexpr unsigned MAIN_MSG_ARTICLE_ANSWER = plat::msg::User + 12;
constexpr unsigned MAIN_MSG_COMPRESS_DONE = plat::msg::User + 13;
constexpr unsigned MAIN_MSG_OVERVIEW_DONE = plat::msg::User + 14;
constexpr unsigned MAIN_MSG_HEAD_ANSWER = plat::msg::User + 15;

constexpr unsigned kMainTimerId = 0;
constexpr unsigned kTimerPeriodMs = 30000;

constexpr const char kMainWindowClass[] = "QivNewsClient";
constexpr const char kMainWindowTitle[] = "Qiv News Client";
constexpr const char kProgramVersionLine[] = "Qiv News Client v0.17";

}  // namespace app
