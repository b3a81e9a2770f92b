// The profile-file reader and writer on arbitrary files.
//
// Input: [section] 0 [key] 0 [value] 0 [file...]
// Checked: reads stay within their length limit; a write that succeeds
// reads back as written (trimmed) and leaves every other key of the file
// as it was; deleting the key or the section makes it read as missing.
#include "platform/profile.h"

#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_support.h"

namespace {

constexpr const char* kFile = "fuzz.ini";
constexpr const char* kMissing = "\x01missing";

std::string Trimmed(const std::string& s) {
    const char* blank = " \t\r\f\v";
    const std::size_t b = s.find_first_not_of(blank);
    if (b == std::string::npos) return std::string();
    return s.substr(b, s.find_last_not_of(blank) - b + 1);
}

bool SameName(const std::string& a, const std::string& b) {
    const std::string x = Trimmed(a), y = Trimmed(b);
    if (x.size() != y.size()) return false;
    for (std::size_t i = 0; i < x.size(); ++i) {
        const char c = (x[i] >= 'A' && x[i] <= 'Z') ? static_cast<char>(x[i] + 32) : x[i];
        const char d = (y[i] >= 'A' && y[i] <= 'Z') ? static_cast<char>(y[i] + 32) : y[i];
        if (c != d) return false;
    }
    return true;
}

std::string Get(const std::string& section, const std::string& key) {
    return plat::GetProfileString(section, key, kMissing, 1u << 20, kFile);
}

// The keys the program reads, plus the names the input brought.
struct Probe {
    std::string section;
    std::string key;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::ClearScratch();
    plat::SetProfileDir(fuzz::ScratchDir());
    fuzz::Input in(data, size);
    const std::string section = in.Field();
    const std::string key = in.Field();
    const std::string value = in.Field();
    const std::string file = in.Rest();
    fuzz::WriteBytes(plat::ProfilePath(kFile), file);

    std::vector<Probe> probes = {{"QIVNEWS", "LastGroupNum"},
                                 {"QIVNEWS", "NNTPServer"},
                                 {"NG1", "Name"},
                                 {"NG1", "ExpireDays"},
                                 {section, key},
                                 {section, "Name"}};
    std::vector<std::string> before;
    for (const Probe& p : probes) {
        const std::string v = Get(p.section, p.key);
        before.push_back(v);
        const std::string cut = plat::GetProfileString(p.section, p.key, "z", 25, kFile);
        FUZZ_CHECK(cut.size() <= 24, "a read longer than its buffer");
        FUZZ_CHECK(v.compare(0, cut.size(), cut) == 0 || v == kMissing,
                   "a shortened read is no prefix");
        plat::GetProfileInt(p.section, p.key, -7, kFile);
        if (v != kMissing) FUZZ_CHECK(plat::ProfileSectionExists(p.section, kFile), "no section");
    }

    if (!plat::WriteProfileString(section, key, value, kFile)) {
        // Refused: nothing changed.
        FUZZ_CHECK(fuzz::ReadBytes(plat::ProfilePath(kFile)) == file, "a refused write changed");
        return 0;
    }
    FUZZ_CHECK(Get(section, key) == Trimmed(value),
               "the value does not read back: \"" + Get(section, key) + "\"");
    FUZZ_CHECK(plat::ProfileSectionExists(section, kFile), "the written section is missing");
    for (std::size_t i = 0; i < probes.size(); ++i) {
        const Probe& p = probes[i];
        const bool written = SameName(p.section, section) && SameName(p.key, key);
        if (!written)
            FUZZ_CHECK(Get(p.section, p.key) == before[i],
                       "another key changed: [" + p.section + "] " + p.key);
    }

    FUZZ_CHECK(plat::DeleteProfileKey(section, key, kFile), "delete key failed");
    FUZZ_CHECK(Get(section, key) == kMissing, "a deleted key still reads");
    FUZZ_CHECK(plat::DeleteProfileSection(section, kFile), "delete section failed");
    FUZZ_CHECK(!plat::ProfileSectionExists(section, kFile), "a deleted section still exists");
    FUZZ_CHECK(Get(section, key) == kMissing, "a key of a deleted section still reads");
    return 0;
}
