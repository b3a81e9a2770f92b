#include "platform/ui.h"

namespace plat::ui {

Control* Dialog::Find(int id) {
    for (Control& c : controls)
        if (c.id == id) return &c;
    return nullptr;
}

const Control* Dialog::Find(int id) const {
    for (const Control& c : controls)
        if (c.id == id) return &c;
    return nullptr;
}

std::string Dialog::Text(int id) const {
    const Control* c = Find(id);
    return c ? c->text : std::string();
}

void Dialog::SetText(int id, const std::string& text) {
    if (Control* c = Find(id)) c->text = text;
}

bool Dialog::Checked(int id) const {
    const Control* c = Find(id);
    return c && c->checked;
}

void Dialog::Check(int id, bool on) {
    Control* chosen = Find(id);
    if (!chosen) return;
    if (on && chosen->kind == ControlKind::Radio) {
        for (Control& c : controls)
            if (c.kind == ControlKind::Radio && c.group == chosen->group) c.checked = false;
    }
    chosen->checked = on;
}

namespace {

// Never destroyed: code running at exit may still log, and the terminal is
// given back by its own exit handler.
std::unique_ptr<Backend>& Installed() {
    static auto* backend = new std::unique_ptr<Backend>;
    return *backend;
}

}  // namespace

Backend& Current() {
    std::unique_ptr<Backend>& backend = Installed();
    if (!backend) backend = MakeSilentBackend();
    return *backend;
}

void Install(std::unique_ptr<Backend> backend) {
    // The old backend goes first, so a terminal is given back before another takes it.
    Installed().reset();
    Installed() = std::move(backend);
}

std::string Sanitize(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (unsigned char c : text) {
        if (c < 0x20) {
            out += '^';
            out += static_cast<char>(c + 0x40);  // ESC -> "^[", CR -> "^M"
        } else if (c == 0x7F) {
            out += "^?";
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

}  // namespace plat::ui
