#include <algorithm>
#include <cstdlib>

#include "newsserver/server_state.h"

namespace testsrv {

namespace {

Fault Make(std::string when, int nth, Fault::Action action) {
    Fault f;
    f.when = std::move(when);
    f.nth = nth;
    f.action = action;
    return f;
}

Fault WithBytes(Fault f, std::size_t bytes) {
    f.bytes = bytes;
    return f;
}

bool ParseNumber(const std::string& text, long* value) {
    if (text.empty()) return false;
    char* end = nullptr;
    *value = strtol(text.c_str(), &end, 10);
    return *end == '\0' && *value >= 0;
}

}  // namespace

Fault Fault::Close(std::string when, int nth) {
    return Make(std::move(when), nth, Action::Close);
}

Fault Fault::CloseAfter(std::string when, std::size_t bytes, int nth) {
    return WithBytes(Make(std::move(when), nth, Action::Close), bytes);
}

Fault Fault::Reset(std::string when, int nth) {
    return Make(std::move(when), nth, Action::Reset);
}

Fault Fault::ResetAfter(std::string when, std::size_t bytes, int nth) {
    return WithBytes(Make(std::move(when), nth, Action::Reset), bytes);
}

Fault Fault::Stall(std::string when, int nth) {
    return Make(std::move(when), nth, Action::Stall);
}

Fault Fault::StallAfter(std::string when, std::size_t bytes, int nth) {
    return WithBytes(Make(std::move(when), nth, Action::Stall), bytes);
}

Fault Fault::Reply(std::string when, std::string text, int nth) {
    Fault f = Make(std::move(when), nth, Action::Reply);
    f.text = std::move(text);
    return f;
}

Fault Fault::Nonsense(std::string when, int nth) {
    return Reply(std::move(when), "Hello? This is not what you asked for.", nth);
}

Fault Fault::Split(std::string when, int pieces, int pauseMs, int nth) {
    Fault f = Make(std::move(when), nth, Action::Split);
    f.pieces = pieces;
    f.pauseMs = pauseMs;
    return f;
}

Fault Fault::SplitAt(std::string when, std::vector<std::size_t> cuts, int pauseMs, int nth) {
    Fault f = Make(std::move(when), nth, Action::Split);
    f.cuts = std::move(cuts);
    f.pauseMs = pauseMs;
    return f;
}

Fault Fault::Delay(std::string when, int pauseMs, int nth) {
    Fault f = Make(std::move(when), nth, Action::Delay);
    f.pauseMs = pauseMs;
    return f;
}

Fault Fault::OverlongLine(std::string when, std::size_t length, int nth) {
    return WithBytes(Make(std::move(when), nth, Action::OverlongLine), length);
}

Fault Fault::TopBitBytes(std::string when, int nth) {
    return Make(std::move(when), nth, Action::TopBitBytes);
}

Fault Fault::Omit(std::string when, int nth) {
    return Make(std::move(when), nth, Action::Omit);
}

bool ParseFault(const std::string& text, Fault* fault) {
    // WHEN may itself hold a blank ("AUTHINFO USER") but no colon; the reply
    // text, last, may hold colons.
    std::vector<std::string> parts;
    std::size_t pos = 0;
    while (parts.size() < 3) {
        std::size_t colon = text.find(':', pos);
        if (colon == std::string::npos) break;
        parts.push_back(text.substr(pos, colon - pos));
        pos = colon + 1;
    }
    parts.push_back(text.substr(pos));
    if (parts.size() < 3 || parts[0].empty()) return false;
    long nth;
    if (!ParseNumber(parts[1], &nth)) return false;
    const std::string& when = parts[0];
    const std::string& action = parts[2];
    std::string arg = parts.size() > 3 ? parts[3] : "";
    bool hasArg = parts.size() > 3;
    long n = 0;
    int k = static_cast<int>(nth);
    if (action == "close" && !hasArg) {
        *fault = Fault::Close(when, k);
    } else if (action == "reset" && !hasArg) {
        *fault = Fault::Reset(when, k);
    } else if (action == "stall" && !hasArg) {
        *fault = Fault::Stall(when, k);
    } else if (action == "nonsense" && !hasArg) {
        *fault = Fault::Nonsense(when, k);
    } else if (action == "topbit" && !hasArg) {
        *fault = Fault::TopBitBytes(when, k);
    } else if (action == "omit" && !hasArg) {
        *fault = Fault::Omit(when, k);
    } else if (action == "reply" && hasArg) {
        *fault = Fault::Reply(when, arg, k);
    } else if (action == "close-after" && ParseNumber(arg, &n)) {
        *fault = Fault::CloseAfter(when, static_cast<std::size_t>(n), k);
    } else if (action == "reset-after" && ParseNumber(arg, &n)) {
        *fault = Fault::ResetAfter(when, static_cast<std::size_t>(n), k);
    } else if (action == "stall-after" && ParseNumber(arg, &n)) {
        *fault = Fault::StallAfter(when, static_cast<std::size_t>(n), k);
    } else if (action == "delay" && ParseNumber(arg, &n)) {
        *fault = Fault::Delay(when, static_cast<int>(n), k);
    } else if (action == "overlong" && ParseNumber(arg, &n)) {
        *fault = Fault::OverlongLine(when, static_cast<std::size_t>(n), k);
    } else if (action == "split" && hasArg) {
        std::size_t colon = arg.find(':');
        long pieces = 0, ms = 0;
        if (colon == std::string::npos || !ParseNumber(arg.substr(0, colon), &pieces) ||
            !ParseNumber(arg.substr(colon + 1), &ms) || pieces < 1) {
            return false;
        }
        *fault = Fault::Split(when, static_cast<int>(pieces), static_cast<int>(ms), k);
    } else {
        return false;
    }
    return true;
}

namespace {

void Truncate(std::vector<std::string>* writes, std::size_t bytes) {
    std::vector<std::string> kept;
    for (const std::string& w : *writes) {
        if (bytes == 0) break;
        std::size_t n = std::min(bytes, w.size());
        kept.push_back(w.substr(0, n));
        bytes -= n;
    }
    *writes = std::move(kept);
}

}  // namespace

std::string Flatten(const std::vector<std::string>& writes) {
    std::string all;
    for (const std::string& w : writes) all += w;
    return all;
}

Plan MakePlan(const Fault* fault, std::vector<std::string> writes) {
    Plan plan;
    plan.writes = std::move(writes);
    if (fault == nullptr) return plan;
    switch (fault->action) {
        case Fault::Action::Close:
        case Fault::Action::Reset:
        case Fault::Action::Stall:
            Truncate(&plan.writes, fault->bytes);
            plan.end = fault->action == Fault::Action::Close   ? Plan::End::Close
                       : fault->action == Fault::Action::Reset ? Plan::End::Reset
                                                               : Plan::End::Stall;
            break;
        case Fault::Action::Reply:
            plan.writes = {fault->text + "\r\n"};
            break;
        case Fault::Action::Split: {
            std::string all = Flatten(plan.writes);
            std::vector<std::size_t> cuts = fault->cuts;
            if (cuts.empty() && fault->pieces > 1) {
                for (int i = 1; i < fault->pieces; ++i) {
                    cuts.push_back(all.size() * static_cast<std::size_t>(i) /
                                   static_cast<std::size_t>(fault->pieces));
                }
            }
            std::sort(cuts.begin(), cuts.end());
            plan.writes.clear();
            std::size_t from = 0;
            for (std::size_t cut : cuts) {
                if (cut <= from || cut >= all.size()) continue;
                plan.writes.push_back(all.substr(from, cut - from));
                from = cut;
            }
            if (from < all.size()) plan.writes.push_back(all.substr(from));
            plan.pauseBetweenMs = fault->pauseMs;
            break;
        }
        case Fault::Action::Delay:
            plan.pauseBeforeMs = fault->pauseMs;
            break;
        case Fault::Action::Omit:
            plan.writes.clear();
            break;
        case Fault::Action::OverlongLine:
        case Fault::Action::TopBitBytes: {
            if (plan.writes.empty()) plan.writes.push_back("\r\n");
            std::string& first = plan.writes[0];
            std::size_t eol = first.find("\r\n");
            if (eol == std::string::npos) eol = first.size();
            std::string status = first.substr(0, eol);
            std::string rest = first.substr(std::min(first.size(), eol + 2));
            if (fault->action == Fault::Action::OverlongLine) {
                if (status.size() < fault->bytes) {
                    if (!status.empty()) status += ' ';
                    status.resize(std::max(status.size(), fault->bytes), 'x');
                }
            } else {
                status += " \xE9\xFF\x80\xA0";
            }
            first = status + "\r\n" + rest;
            break;
        }
    }
    return plan;
}

}  // namespace testsrv
