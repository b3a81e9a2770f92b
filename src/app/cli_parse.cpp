// The command line's words: subcommands, options and their checks.
#ifndef _WIN32
#include <pwd.h>
#endif
#include <unistd.h>

#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "app/cli.h"
#include "app/settings.h"
#include "net/tls_layer.h"

namespace app {

namespace {

namespace fs = std::filesystem;

bool EqualsNoCase(const std::string& a, const char* b) {
    if (a.size() != std::strlen(b)) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

bool HasControl(const std::string& s) {
    for (unsigned char c : s)
        if (c < 0x20 || c == 0x7F) return true;
    return false;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

bool HasOuterBlank(const std::string& s) {
    return !s.empty() && (IsBlank(s.front()) || IsBlank(s.back()));
}

// A whole decimal number of at most max; digits only.
bool ParseWhole(const std::string& text, std::uint32_t max, std::uint32_t& out) {
    if (text.empty() || text.size() > 10) return false;
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value > max) return false;
    out = static_cast<std::uint32_t>(value);
    return true;
}

// Matches args[i] against "--name VALUE" and "--name=VALUE". Returns 1 with
// the value (i then points at the last argument used), 0 when args[i] is
// something else, -1 with the error when the value is missing.
int OptionValue(const std::vector<std::string>& args, std::size_t& i, const std::string& name,
                std::string& value, std::string& error) {
    const std::string& arg = args[i];
    if (arg == name) {
        // "--user --password PW" is a missing user name, not a user named
        // "--password" followed by a stray word (which an error would echo:
        // the password). A value that begins with "--" goes as --name=VALUE.
        if (i + 1 >= args.size() || args[i + 1].rfind("--", 0) == 0) {
            error = name + " needs a value";
            return -1;
        }
        value = args[++i];
        return 1;
    }
    if (arg.size() > name.size() && arg.compare(0, name.size(), name) == 0 &&
        arg[name.size()] == '=') {
        value = arg.substr(name.size() + 1);
        return 1;
    }
    return 0;
}

// Checks a text setting; empty when it can be stored.
std::string TextProblem(const std::string& option, const std::string& value) {
    if (HasControl(value)) return option + ": control characters are not allowed";
    if (HasOuterBlank(value)) return option + ": the value may not begin or end with a blank";
    if (IsMissing(value)) return option + ": \"" + value + "\" reads as unset and cannot be stored";
    return std::string();
}

std::string CheckServer(const std::string& value) {
    if (value.empty()) return "--server: no host name given";
    if (value.size() > kMaxServerLength) return "--server: longer than 255 characters";
    for (unsigned char c : value)
        if (std::isspace(c)) return "--server: a host name has no blanks";
    return TextProblem("--server", value);
}

// Makes the spool path absolute and tidy; empty problem when it fits.
std::string CheckSpool(std::string& value) {
    if (value.empty()) return "--spool: no directory given";
    if (std::string problem = TextProblem("--spool", value); !problem.empty()) return problem;
    std::error_code ec;
    fs::path path = fs::absolute(fs::path(value), ec);
    if (ec) return "--spool: " + ec.message();
    std::string absolute = path.lexically_normal().string();
    while (absolute.size() > 1 && absolute.back() == '/') absolute.pop_back();
    if (!SpoolDirFits(absolute)) {
        return "--spool: the path is " + std::to_string(absolute.size()) +
               " characters long; at most " + std::to_string(kMaxSpoolDirLength) +
               " leave room for the paths built from it";
    }
    value = absolute;
    return std::string();
}

}  // namespace

std::string CheckCredential(const std::string& option, const std::string& value) {
    if (!CredentialFits(value)) return option + ": at most 29 characters";
    return TextProblem(option, value);
}

std::string UsageText() {
    return "Usage: qivnews [--profile-dir DIR] [--headless | --once] [SUBCOMMAND ARGS...]\n"
           "       qivnews --demo\n"
           "\n"
           "Without a subcommand qivnews runs its terminal interface (standard input and\n"
           "output must be a terminal). --headless runs without one: the log goes to\n"
           "standard output and the timer fetches and posts news until SIGTERM or SIGINT.\n"
           "--once runs one news cycle without a terminal and exits (status 0 when the\n"
           "cycle connected, fetched, posted and disconnected).\n"
           "--demo runs against a news server of its own on 127.0.0.1, with a new\n"
           "profile and spool in a temporary directory whose location it prints; in a\n"
           "terminal it runs on until you leave, without one it runs one cycle.\n"
           "\n"
           "Subcommands (each runs and exits):\n"
           "  setup --server HOST --spool DIR [--port N] [--auth yes|no] [--user NAME]\n"
           "        [--password PW | --password-stdin] [--interval MINUTES]\n"
           "        [--security none|tls|starttls] [--ca-file PATH] [--fingerprint HEX]\n"
           "        [--initial-fetch N] [--pipeline-depth N] [--compress auto|on|off]\n"
           "                     store the settings (--server and --spool are required\n"
           "                     until they are set); creates DIR, DIR/news and DIR/out.\n"
           "                     --security tls: TLS from the first byte (port 563 unless\n"
           "                     --port says otherwise); starttls: STARTTLS on the plain\n"
           "                     port. Certificates are checked against the system's\n"
           "                     authorities and those in --ca-file; --fingerprint pins\n"
           "                     the server's certificate by its SHA-256 (hex, colons\n"
           "                     allowed), the way to trust a self-signed one. An empty\n"
           "                     --ca-file or --fingerprint removes the setting.\n"
           "                     --initial-fetch N: a newly subscribed group starts at\n"
           "                     the newest N articles the server has (0: all of them).\n"
           "                     --pipeline-depth N: ARTICLE requests kept in flight,\n"
           "                     1 to 256 (1: one at a time).\n"
           "                     --compress: COMPRESS DEFLATE after the login; auto\n"
           "                     (the default) when the server offers it\n"
           "  subscribe NAME...  subscribe the newsgroups named, one line for each\n"
           "  unsubscribe NAME...\n"
           "                     unsubscribe the newsgroups named and delete their\n"
           "                     articles (status 1 when any name failed)\n"
           "  expire             delete the articles older than each group's ExpireDays\n"
           "  list-groups        fetch the server's group list into groups.txt\n"
           "\n"
           "While a qivnews runs on the profile (its terminal interface, --headless or\n"
           "--once), a second one of those is refused, and the subcommands hand their\n"
           "work to the running one and report its outcome.\n"
           "\n"
           "Options:\n"
           "  --profile-dir DIR  where qiv.ini and qivnews.ini live (default: $QIVNEWS_HOME,\n"
           "                     else $XDG_CONFIG_HOME/qivnews, else ~/.config/qivnews)\n"
           "  --help             show this text\n"
           "  --version          show the version\n"
           "\n"
           "Exit status: 0 done, 1 could not be done, 2 malformed arguments.\n";
}

bool ParseCommandLine(const std::vector<std::string>& argv, CommandLine& out, std::string& error) {
    out = CommandLine{};
    std::size_t i = 0;
    for (; i < argv.size(); ++i) {
        const std::string& arg = argv[i];
        std::string value;
        if (arg == "--help" || arg == "-h") {
            out.help = true;
        } else if (arg == "--version") {
            out.version = true;
        } else if (arg == "--headless" || arg == "--once" || arg == "--demo") {
            const RunMode mode = arg == "--once"   ? RunMode::Once
                                 : arg == "--demo" ? RunMode::Demo
                                                   : RunMode::Headless;
            if (out.mode != RunMode::Default && out.mode != mode) {
                error = "--headless, --once and --demo exclude each other";
                return false;
            }
            out.mode = mode;
        } else if (const int r = OptionValue(argv, i, "--profile-dir", value, error); r != 0) {
            if (r < 0) return false;
            if (value.empty()) {
                error = "--profile-dir: no directory given";
                return false;
            }
            out.profileDir = value;
        } else if (!arg.empty() && arg[0] == '-') {
            // Without its value: a misplaced --password=... must not echo it.
            error = "unknown option " + arg.substr(0, arg.find('='));
            return false;
        } else {
            break;
        }
    }
    if (i < argv.size()) {
        if (argv[i].empty()) {
            error = "empty subcommand";
            return false;
        }
        out.subcommand = argv[i];
        out.args.assign(argv.begin() + static_cast<std::ptrdiff_t>(i) + 1, argv.end());
    }
    for (const std::string& arg : out.args)
        if (arg == "--help" || arg == "-h") out.help = true;
    if (out.help || out.version) return true;

    const std::string& sub = out.subcommand;
    if (sub.empty()) return true;
    if (out.mode != RunMode::Default) {
        error = "--headless, --once and --demo cannot be combined with a subcommand";
        return false;
    }
    if (sub == "setup") {
        SetupOptions options;
        if (!ParseSetupOptions(out.args, options, error)) {
            error = "setup: " + error;
            return false;
        }
    } else if (sub == "subscribe" || sub == "unsubscribe") {
        if (out.args.empty()) {
            error = sub + " takes one or more newsgroup names";
            return false;
        }
    } else if (sub == "expire" || sub == "list-groups") {
        if (!out.args.empty()) {
            error = sub + " takes no arguments";
            return false;
        }
    } else {
        error = "unknown subcommand " + sub;
        return false;
    }
    return true;
}

bool ParseSetupOptions(const std::vector<std::string>& args, SetupOptions& out,
                       std::string& error) {
    out = SetupOptions{};
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string value;
        int r;
        if (args[i] == "--password-stdin") {
            out.passwordFromStdin = true;
            continue;
        }
        if ((r = OptionValue(args, i, "--server", value, error)) != 0) {
            if (r < 0) return false;
            if (error = CheckServer(value); !error.empty()) return false;
            out.server = value;
        } else if ((r = OptionValue(args, i, "--spool", value, error)) != 0) {
            if (r < 0) return false;
            if (error = CheckSpool(value); !error.empty()) return false;
            out.spoolDir = value;
        } else if ((r = OptionValue(args, i, "--port", value, error)) != 0) {
            if (r < 0) return false;
            std::uint32_t port;
            if (!ParseWhole(value, 65535, port) || port == 0) {
                error = "--port: a number from 1 to 65535, not \"" + value + "\"";
                return false;
            }
            out.port = port;
        } else if ((r = OptionValue(args, i, "--auth", value, error)) != 0) {
            if (r < 0) return false;
            if (EqualsNoCase(value, "yes")) {
                out.auth = true;
            } else if (EqualsNoCase(value, "no")) {
                out.auth = false;
            } else {
                error = "--auth: yes or no, not \"" + value + "\"";
                return false;
            }
        } else if ((r = OptionValue(args, i, "--user", value, error)) != 0) {
            if (r < 0) return false;
            if (error = CheckCredential("--user", value); !error.empty()) return false;
            out.user = value;
        } else if ((r = OptionValue(args, i, "--password", value, error)) != 0) {
            if (r < 0) return false;
            if (error = CheckCredential("--password", value); !error.empty()) return false;
            out.password = value;
        } else if ((r = OptionValue(args, i, "--security", value, error)) != 0) {
            if (r < 0) return false;
            const int security = ParseSecurity(value);
            if (security == kBadSecurity) {
                error = "--security: none, tls or starttls, not \"" + value + "\"";
                return false;
            }
            out.security = security;
        } else if ((r = OptionValue(args, i, "--ca-file", value, error)) != 0) {
            if (r < 0) return false;
            if (value.size() >= kPathBufferSize) {
                error = "--ca-file: path too long";
                return false;
            }
            out.caFile = value;
        } else if ((r = OptionValue(args, i, "--fingerprint", value, error)) != 0) {
            if (r < 0) return false;
            std::vector<unsigned char> digest;
            if (!value.empty() && !net::ParseFingerprint(value, digest)) {
                error = "--fingerprint: a SHA-256 fingerprint (64 hex digits, colons allowed)";
                return false;
            }
            out.fingerprint = value;
        } else if ((r = OptionValue(args, i, "--interval", value, error)) != 0) {
            if (r < 0) return false;
            std::uint32_t minutes;
            if (!ParseWhole(value, INT32_MAX, minutes)) {
                error = "--interval: a whole number of minutes, not \"" + value + "\"";
                return false;
            }
            out.interval = minutes;
        } else if ((r = OptionValue(args, i, "--initial-fetch", value, error)) != 0) {
            if (r < 0) return false;
            std::uint32_t count;
            if (!ParseWhole(value, INT32_MAX, count)) {
                error = "--initial-fetch: a whole number of articles, not \"" + value + "\"";
                return false;
            }
            out.initialFetch = count;
        } else if ((r = OptionValue(args, i, "--pipeline-depth", value, error)) != 0) {
            if (r < 0) return false;
            std::uint32_t depth;
            if (!ParseWhole(value, kMaxPipelineDepth, depth) || depth == 0) {
                error = "--pipeline-depth: a whole number from 1 to 256, not \"" + value + "\"";
                return false;
            }
            out.pipelineDepth = depth;
        } else if ((r = OptionValue(args, i, "--compress", value, error)) != 0) {
            if (r < 0) return false;
            const int compress = ParseCompress(value);
            if (compress == kBadCompress) {
                error = "--compress: auto, on or off, not \"" + value + "\"";
                return false;
            }
            out.compress = compress;
        } else {
            // Without its value: a mistyped --password=... must not echo it.
            error = "unknown option " + args[i].substr(0, args[i].find('='));
            return false;
        }
    }
    if (out.password && out.passwordFromStdin) {
        error = "--password and --password-stdin exclude each other";
        return false;
    }
    return true;
}

std::string DefaultProfileDir() {
    if (const char* home = std::getenv("QIVNEWS_HOME"); home && *home) return home;
#ifdef _WIN32
    // The per-user directory for roaming settings.
    if (const char* appData = std::getenv("APPDATA"); appData && *appData)
        return std::string(appData) + "\\qivnews";
    return std::string();
#endif
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg == '/')
        return std::string(xdg) + "/qivnews";
    const char* home = std::getenv("HOME");
#ifndef _WIN32
    if (!home || !*home) {
        const passwd* pw = getpwuid(getuid());
        home = pw ? pw->pw_dir : nullptr;
    }
#endif
    if (!home || !*home) return std::string();
    return std::string(home) + "/.config/qivnews";
}

}  // namespace app
