// The group registry on an arbitrary "newsys.rc": the rewrite that removes
// a group, unsubscribing, and subscribing next to whatever the file holds.
//
// Input: [mode] [name] 0 [newsys.rc...]
//   mode % 3: 0 RemoveRegistryEntry, 1 UnsubscribeGroup, 2 SubscribeGroup
//   then a second RemoveRegistryEntry of the same name.
// Checked: the registry is never lost; no kept line carries the name; a
// rewritten registry is a fixed point of the rewrite (canonical lines, same
// bytes when nothing matches); files outside the group's own directory and
// index survive; a subscribed name is found by the next rewrite.
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "platform/profile.h"
#include "spool/group_registry.h"
#include "spool/spool_context.h"

namespace {

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

std::vector<std::string> WithoutTrailingCr(const std::string& text) {
    std::vector<std::string> lines = Lines(text);
    for (std::string& line : lines)
        while (!line.empty() && line.back() == '\r') line.pop_back();
    return lines;
}

bool SameNoCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const char x = (a[i] >= 'A' && a[i] <= 'Z') ? static_cast<char>(a[i] + 32) : a[i];
        const char y = (b[i] >= 'A' && b[i] <= 'Z') ? static_cast<char>(b[i] + 32) : b[i];
        if (x != y) return false;
    }
    return true;
}

// Files that no registry operation on any group may touch.
const char* const kBystanders[] = {"keep.txt", "news/keep.txt", "news/NG0/00000001.nws"};

void PlantBystanders(const std::string& dir) {
    fuzz::MakeDir(fuzz::Join(dir, "news"));
    fuzz::MakeDir(fuzz::Join(dir, "news/NG0"));
    for (const char* name : kBystanders) fuzz::WriteBytes(fuzz::Join(dir, name), "keep");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::ClearScratch();
    const std::string dir = fuzz::ScratchDir();
    plat::SetProfileDir(dir);
    fuzz::Input in(data, size);
    const int mode = in.Byte() % 3;
    const std::string name = in.Field();
    const std::string registry = in.Rest();

    const std::string rc = fuzz::Join(dir, "newsys.rc");
    fuzz::WriteBytes(rc, registry);
    PlantBystanders(dir);
    // Group 1 has an index naming one article and one hostile name.
    fuzz::MakeDir(fuzz::Join(dir, "news/NG1"));
    std::string record(322, '\0');
    record.replace(154, 12, "../keep.txt");
    fuzz::WriteBytes(fuzz::Join(dir, "1.grp"), record);

    std::int32_t lastGroupNum = 3;
    spool::SpoolContext context;
    context.spoolDir = dir;
    context.lastGroupNum = &lastGroupNum;

    std::int32_t removed = -1;
    bool rewritten = mode != 2;  // a rewrite without the name has run
    if (mode == 0) {
        bool failed = true;
        removed = spool::RemoveRegistryEntry(dir, name, &failed);
        FUZZ_CHECK(!failed, "the rewrite failed");
    } else if (mode == 1) {
        const spool::UnsubscribeResult r = spool::UnsubscribeGroup(context, name);
        FUZZ_CHECK(r.status != spool::UnsubscribeStatus::RegistryUnavailable, r.message);
        removed = r.groupNumber;
    } else {
        const spool::SubscribeResult r = spool::SubscribeGroup(context, name);
        FUZZ_CHECK(r.status != spool::SubscribeStatus::RegistryUnavailable, r.message);
        if (r.Ok()) {
            FUZZ_CHECK(r.groupNumber >= 3 && lastGroupNum == r.groupNumber + 1,
                       "number " + std::to_string(r.groupNumber));
            // The new line is a line of its own, found again by name.
            bool found = false;
            for (const std::string& line : Lines(fuzz::ReadBytes(rc)))
                found = found || line == name + ":" + std::to_string(r.groupNumber);
            FUZZ_CHECK(found, "the subscribed line is not in the registry");
            removed = spool::RemoveRegistryEntry(dir, name);
            FUZZ_CHECK(removed == r.groupNumber, "the new group is not removed by name");
            rewritten = true;
        }
    }
    (void)removed;

    FUZZ_CHECK(fuzz::Exists(rc), "newsys.rc lost");
    FUZZ_CHECK(!fuzz::Exists(fuzz::Join(dir, "newsys.tmp")), "newsys.tmp left behind");
    for (const char* bystander : kBystanders)
        FUZZ_CHECK(fuzz::Exists(fuzz::Join(dir, bystander)), std::string("deleted ") + bystander);

    // Rewritten once, the registry is canonical: no line carries the name,
    // and a second rewrite finds nothing and changes no byte.
    const std::string once = fuzz::ReadBytes(rc);
    if (rewritten) {
        for (const std::string& line : Lines(once)) {
            const std::size_t colon = line.find(':');
            if (colon != std::string::npos)
                FUZZ_CHECK(!SameNoCase(line.substr(0, colon), name),
                           "a kept line carries the name");
        }
    }
    bool failed = true;
    const std::int32_t again = spool::RemoveRegistryEntry(dir, name, &failed);
    FUZZ_CHECK(!failed, "the second rewrite failed");
    const std::string twice = fuzz::ReadBytes(rc);
    if (mode != 2) {
        FUZZ_CHECK(again == -1, "the name survived its removal");
        // A line that is no entry is kept as read, and text mode reads a CR
        // before the line end as part of the line end: such a line loses one
        // trailing CR per rewrite. Nothing else may change.
        FUZZ_CHECK(WithoutTrailingCr(once) == WithoutTrailingCr(twice),
                   "a second rewrite changed the registry");
    }
    return 0;
}
