// Extended regular expressions for the Windows build, whose C library has
// no matcher: the pattern is compiled to a program for a Thompson machine
// and run over the text once, every thread in step, so time is linear in
// the text for a given pattern and nothing recurses per character (see
// regex.h for why backtracking matchers are not used).
//
// The POSIX ERE syntax: literals, '.', bracket expressions with ranges and
// [:class:] names ([=c=] and [.c.] as the character c), '^' and '$', groups,
// '|', and the repetitions *, +, ?, {m}, {m,} and {m,n} (at most 255).
// Back-references are refused as on Linux. Matching is by bytes; with
// ignoreCase the ASCII letters match either case.
#include <bitset>
#include <cctype>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/regex.h"

namespace plat {

namespace {

constexpr int kMaxRepeat = 255;
constexpr std::size_t kMaxProgram = 1 << 16;

using CharSet = std::bitset<256>;

struct Node {
    enum Kind { Empty, Set, Bol, Eol, Cat, Alt, Repeat } kind = Empty;
    int set = -1;  // Set: index into the sets
    std::vector<Node> parts;
    int min = 0, max = 0;  // Repeat; max -1 for no bound
};

struct Inst {
    enum Op { Set, Split, Jmp, Bol, Eol, Match } op;
    int x = 0, y = 0;  // Set: set index; Split: both targets; Jmp: x
};

class Parser {
public:
    Parser(const std::string& p, bool icase, std::vector<CharSet>& sets)
        : p_(p), icase_(icase), sets_(sets) {}

    bool Parse(Node& out, std::string& error) {
        out = Alternation();
        if (error_.empty() && i_ < p_.size()) error_ = "unmatched )";
        error = error_;
        return error_.empty();
    }

private:
    bool More() const { return i_ < p_.size() && error_.empty(); }

    Node Alternation() {
        Node alt;
        alt.kind = Node::Alt;
        alt.parts.push_back(Sequence());
        while (More() && p_[i_] == '|') {
            ++i_;
            alt.parts.push_back(Sequence());
        }
        return alt.parts.size() == 1 ? alt.parts[0] : alt;
    }

    Node Sequence() {
        Node cat;
        cat.kind = Node::Cat;
        while (More() && p_[i_] != '|' && p_[i_] != ')') cat.parts.push_back(Repeated());
        return cat;
    }

    Node Repeated() {
        Node atom = Atom();
        while (More()) {
            const char c = p_[i_];
            int min, max;
            if (c == '*') {
                min = 0, max = -1;
            } else if (c == '+') {
                min = 1, max = -1;
            } else if (c == '?') {
                min = 0, max = 1;
            } else if (c == '{' && i_ + 1 < p_.size() && std::isdigit(static_cast<unsigned char>(p_[i_ + 1]))) {
                if (!Interval(min, max)) return atom;
                --i_;  // Interval stops on the '}', taken below
            } else {
                break;
            }
            ++i_;
            Node r;
            r.kind = Node::Repeat;
            r.min = min;
            r.max = max;
            r.parts.push_back(std::move(atom));
            atom = std::move(r);
        }
        return atom;
    }

    // {m}, {m,} or {m,n}; i_ at the '{', left just past the '}'.
    bool Interval(int& min, int& max) {
        ++i_;
        min = Number();
        max = min;
        if (i_ < p_.size() && p_[i_] == ',') {
            ++i_;
            max = i_ < p_.size() && std::isdigit(static_cast<unsigned char>(p_[i_])) ? Number() : -1;
        }
        if (i_ >= p_.size() || p_[i_] != '}') {
            error_ = "unmatched {";
            return false;
        }
        ++i_;
        if (min > kMaxRepeat || max > kMaxRepeat || (max >= 0 && max < min)) {
            error_ = "invalid repetition count";
            return false;
        }
        return true;
    }

    int Number() {
        int n = 0;
        while (i_ < p_.size() && std::isdigit(static_cast<unsigned char>(p_[i_]))) {
            n = n * 10 + (p_[i_++] - '0');
            if (n > 100000) n = 100000;
        }
        return n;
    }

    Node Atom() {
        const char c = p_[i_++];
        Node n;
        switch (c) {
            case '(':
                if (i_ < p_.size() && p_[i_] == ')') {
                    ++i_;
                    return n;  // "()": the empty string
                }
                n = Alternation();
                if (error_.empty() && (i_ >= p_.size() || p_[i_] != ')')) error_ = "unmatched (";
                ++i_;
                return n;
            case '*':
            case '+':
            case '?':
                error_ = "nothing before the repetition";
                return n;
            case '^':
                n.kind = Node::Bol;
                return n;
            case '$':
                n.kind = Node::Eol;
                return n;
            case '.': {
                CharSet all;
                all.set();
                return SetNode(all);
            }
            case '[':
                return Bracket();
            case '\\':
                if (i_ >= p_.size()) {
                    error_ = "trailing backslash";
                    return n;
                }
                return Literal(p_[i_++]);
            default:
                return Literal(c);
        }
    }

    Node Literal(char c) {
        CharSet s;
        s.set(static_cast<unsigned char>(c));
        return SetNode(s);
    }

    Node SetNode(CharSet s) {
        if (icase_) {
            for (int c = 'a'; c <= 'z'; ++c) {
                if (s[c] || s[c - 32]) {
                    s.set(c);
                    s.set(c - 32);
                }
            }
        }
        Node n;
        n.kind = Node::Set;
        n.set = static_cast<int>(sets_.size());
        sets_.push_back(s);
        return n;
    }

    static bool InClass(const std::string& name, int c, bool& known) {
        known = true;
        if (name == "alpha") return std::isalpha(c);
        if (name == "digit") return std::isdigit(c);
        if (name == "alnum") return std::isalnum(c);
        if (name == "upper") return std::isupper(c);
        if (name == "lower") return std::islower(c);
        if (name == "space") return std::isspace(c);
        if (name == "blank") return c == ' ' || c == '\t';
        if (name == "punct") return std::ispunct(c);
        if (name == "print") return std::isprint(c);
        if (name == "graph") return std::isgraph(c);
        if (name == "cntrl") return std::iscntrl(c);
        if (name == "xdigit") return std::isxdigit(c);
        known = false;
        return false;
    }

    Node Bracket() {
        CharSet s;
        bool negate = false;
        if (i_ < p_.size() && p_[i_] == '^') {
            negate = true;
            ++i_;
        }
        bool first = true;
        for (;;) {
            if (i_ >= p_.size()) {
                error_ = "unmatched [";
                return Node{};
            }
            int c = static_cast<unsigned char>(p_[i_]);
            if (c == ']' && !first) {
                ++i_;
                break;
            }
            first = false;
            if (c == '[' && i_ + 1 < p_.size() &&
                (p_[i_ + 1] == ':' || p_[i_ + 1] == '=' || p_[i_ + 1] == '.')) {
                const char kind = p_[i_ + 1];
                const std::size_t end = p_.find(std::string(1, kind) + "]", i_ + 2);
                if (end == std::string::npos) {
                    error_ = "unmatched [";
                    return Node{};
                }
                const std::string name = p_.substr(i_ + 2, end - i_ - 2);
                i_ = end + 2;
                if (kind == ':') {
                    bool known = false;
                    for (int k = 0; k < 256; ++k)
                        if (InClass(name, k, known)) s.set(k);
                    InClass(name, 0, known);
                    if (!known) {
                        error_ = "unknown character class [:" + name + ":]";
                        return Node{};
                    }
                    continue;
                }
                if (name.size() != 1) {
                    error_ = "unknown collating element";
                    return Node{};
                }
                c = static_cast<unsigned char>(name[0]);
            } else {
                ++i_;
            }
            if (i_ + 1 < p_.size() && p_[i_] == '-' && p_[i_ + 1] != ']') {
                const int hi = static_cast<unsigned char>(p_[i_ + 1]);
                i_ += 2;
                if (hi < c) {
                    error_ = "invalid range end";
                    return Node{};
                }
                for (int k = c; k <= hi; ++k) s.set(k);
            } else {
                s.set(c);
            }
        }
        if (icase_) {
            for (int c = 'a'; c <= 'z'; ++c) {
                if (s[c] || s[c - 32]) {
                    s.set(c);
                    s.set(c - 32);
                }
            }
        }
        if (negate) s.flip();
        Node n;
        n.kind = Node::Set;
        n.set = static_cast<int>(sets_.size());
        sets_.push_back(s);
        return n;
    }

    const std::string& p_;
    bool icase_;
    std::vector<CharSet>& sets_;
    std::size_t i_ = 0;
    std::string error_;
};

class Compiler {
public:
    explicit Compiler(std::vector<Inst>& prog) : prog_(prog) {}

    bool Emit(const Node& n) {
        if (prog_.size() > kMaxProgram) return false;
        switch (n.kind) {
            case Node::Empty:
                return true;
            case Node::Set:
                prog_.push_back({Inst::Set, n.set, 0});
                return true;
            case Node::Bol:
                prog_.push_back({Inst::Bol});
                return true;
            case Node::Eol:
                prog_.push_back({Inst::Eol});
                return true;
            case Node::Cat:
                for (const Node& part : n.parts)
                    if (!Emit(part)) return false;
                return true;
            case Node::Alt: {
                // split L1, next; L1: a; jmp end; next: split L2, ... ; last
                std::vector<std::size_t> jumps;
                for (std::size_t k = 0; k + 1 < n.parts.size(); ++k) {
                    const std::size_t split = prog_.size();
                    prog_.push_back({Inst::Split, static_cast<int>(split + 1), 0});
                    if (!Emit(n.parts[k])) return false;
                    jumps.push_back(prog_.size());
                    prog_.push_back({Inst::Jmp});
                    prog_[split].y = static_cast<int>(prog_.size());
                }
                if (!Emit(n.parts.back())) return false;
                for (std::size_t j : jumps) prog_[j].x = static_cast<int>(prog_.size());
                return true;
            }
            case Node::Repeat: {
                const Node& body = n.parts[0];
                for (int k = 0; k < n.min; ++k)
                    if (!Emit(body)) return false;
                if (n.max < 0) {
                    const std::size_t loop = prog_.size();
                    prog_.push_back({Inst::Split, static_cast<int>(loop + 1), 0});
                    if (!Emit(body)) return false;
                    prog_.push_back({Inst::Jmp, static_cast<int>(loop), 0});
                    prog_[loop].y = static_cast<int>(prog_.size());
                    return true;
                }
                std::vector<std::size_t> splits;
                for (int k = n.min; k < n.max; ++k) {
                    splits.push_back(prog_.size());
                    prog_.push_back({Inst::Split, static_cast<int>(prog_.size() + 1), 0});
                    if (!Emit(body)) return false;
                }
                for (std::size_t s : splits) prog_[s].y = static_cast<int>(prog_.size());
                return true;
            }
        }
        return false;
    }

private:
    std::vector<Inst>& prog_;
};

}  // namespace

struct Regex::Impl {
    std::vector<Inst> prog;
    std::vector<CharSet> sets;
};

Regex::Regex() = default;
Regex::~Regex() = default;
Regex::Regex(Regex&&) noexcept = default;
Regex& Regex::operator=(Regex&&) noexcept = default;

namespace {

// A backslash and a digit 1-9 outside a bracket expression.
bool HasBackReference(const std::string& pattern) {
    bool bracket = false;
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        const char c = pattern[i];
        if (bracket) {
            if (c == ']' && !(i > 0 && (pattern[i - 1] == '[' ||
                                        (pattern[i - 1] == '^' && i > 1 && pattern[i - 2] == '['))))
                bracket = false;
            else if (c == '[' && i + 1 < pattern.size() &&
                     (pattern[i + 1] == ':' || pattern[i + 1] == '.' || pattern[i + 1] == '=')) {
                const std::size_t end = pattern.find(std::string(1, pattern[i + 1]) + "]", i + 2);
                if (end != std::string::npos) i = end + 1;
            }
            continue;
        }
        if (c == '[') {
            bracket = true;
        } else if (c == '\\' && i + 1 < pattern.size()) {
            if (pattern[i + 1] >= '1' && pattern[i + 1] <= '9') return true;
            ++i;
        }
    }
    return false;
}

// The threads at one position: a sparse set of program counters.
struct ThreadList {
    std::vector<int> pcs;
    std::vector<unsigned> mark;
    unsigned generation = 1;
    void Reset(std::size_t size) {
        pcs.clear();
        if (mark.size() != size) mark.assign(size, 0);
        if (++generation == 0) {
            std::fill(mark.begin(), mark.end(), 0);
            generation = 1;
        }
    }
};

// Follows the jumps from pc at position pos and adds the threads that wait
// for a character; true when one reaches the end of the program.
bool AddThread(const std::vector<Inst>& prog, ThreadList& list, int start, std::size_t pos,
               std::size_t length, std::vector<int>& stack) {
    stack.clear();
    stack.push_back(start);
    bool matched = false;
    while (!stack.empty()) {
        const int pc = stack.back();
        stack.pop_back();
        if (list.mark[pc] == list.generation) continue;
        list.mark[pc] = list.generation;
        const Inst& in = prog[pc];
        switch (in.op) {
            case Inst::Jmp: stack.push_back(in.x); break;
            case Inst::Split:
                stack.push_back(in.y);
                stack.push_back(in.x);
                break;
            case Inst::Bol:
                if (pos == 0) stack.push_back(pc + 1);
                break;
            case Inst::Eol:
                if (pos == length) stack.push_back(pc + 1);
                break;
            case Inst::Match: matched = true; break;
            case Inst::Set: list.pcs.push_back(pc); break;
        }
    }
    return matched;
}

}  // namespace

bool Regex::Compile(const std::string& pattern, bool ignoreCase, std::string& error) {
    compiled_.reset();
    if (pattern.find('\0') != std::string::npos) {
        error = "it holds a NUL character";
        return false;
    }
    if (HasBackReference(pattern)) {
        error = "back-references (\\1 to \\9) are not allowed: they can take exponential time";
        return false;
    }
    auto compiled = std::make_unique<Impl>();
    Node root;
    if (!Parser(pattern, ignoreCase, compiled->sets).Parse(root, error)) return false;
    if (!Compiler(compiled->prog).Emit(root) || compiled->prog.size() > kMaxProgram) {
        error = "the pattern is too large";
        return false;
    }
    compiled->prog.push_back({Inst::Match});
    compiled_ = std::move(compiled);
    return true;
}

bool Regex::Search(const std::string& text) const {
    if (compiled_ == nullptr) return false;
    const std::vector<Inst>& prog = compiled_->prog;
    const std::size_t length = text.size();
    ThreadList current, next;
    std::vector<int> stack;
    current.Reset(prog.size());
    next.Reset(prog.size());
    // A thread starts at every position: the search is unanchored.
    if (AddThread(prog, current, 0, 0, length, stack)) return true;
    for (std::size_t pos = 0; pos < length; ++pos) {
        const unsigned char c = static_cast<unsigned char>(text[pos]);
        next.Reset(prog.size());
        for (const int pc : current.pcs) {
            if (compiled_->sets[prog[pc].x][c] &&
                AddThread(prog, next, pc + 1, pos + 1, length, stack))
                return true;
        }
        if (AddThread(prog, next, 0, pos + 1, length, stack)) return true;
        std::swap(current, next);
    }
    return false;
}

}  // namespace plat
