// The expiry on arbitrary index files: a run over group 1, whose "1.grp"
// (and, for a run that was cut off, "1.tmp") come from the input, in steps
// of one record.
//
// Input: [flags] [ExpireDays] [length of 1.grp, two bytes] [1.grp] [1.tmp]
//   flags bit 0: a "1.tmp" is there (the rest of the input)
//   flags bits 1-2: what happens after the first step: 0 nothing,
//                   1 a record is appended to 1.grp, 2 the expiry is
//                   started over, 3 the group is unsubscribed
//   flags bit 3: no "1.grp" at all when its part of the input is empty
//   ExpireDays byte: 0 leaves the key out, 255 writes "soon", else the
//                   byte as a signed number
// Checked: the run ends with no "1.tmp"; the new index is whole records,
// each one of the records it started from, in their order; only articles
// inside the group's directory are deleted.
#include "spool/expiry.h"

#include <cstdint>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "platform/clock.h"
#include "platform/profile.h"
#include "spool/article_index.h"
#include "spool/group_registry.h"
#include "spool/index_record.h"
#include "spool/spool_context.h"
#include "spool/spool_paths.h"

namespace {

int nestedAction = 0;
int nestedRuns = 0;

std::vector<std::string> Records(const std::string& bytes) {
    std::vector<std::string> records;
    for (std::size_t at = 0; at + spool::kRecordSize <= bytes.size(); at += spool::kRecordSize)
        records.push_back(bytes.substr(at, spool::kRecordSize));
    return records;
}

std::string NameOf(const std::string& record) {
    return spool::RecordFileName(reinterpret_cast<const unsigned char*>(record.data()));
}

void RunNested(const spool::SpoolContext& context) {
    ++nestedRuns;
    if (nestedAction == 1) {
        spool::ArticleHeaders headers;
        headers.from = "nested@example.com";
        headers.subject = "appended meanwhile";
        spool::AppendArticleIndex(context.spoolDir, headers, 1, 99);
    } else if (nestedAction == 2) {
        spool::StartExpiry();
    } else if (nestedAction == 3) {
        spool::UnsubscribeGroup(context, "alt.test");
    }
}

const char* const kBystanders[] = {"keep.txt", "news/keep.txt", "news/NG2/00000001.nws", "2.grp"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool clock = [] {
        // A fixed day, so that a finding replays the same way.
        plat::SetClockForTests([] { return plat::LocalTime{2026, 3, 10, 12, 0}; });
        return true;
    }();
    (void)clock;
    fuzz::ClearScratch();
    spool::AbandonExpiry();
    const std::string dir = fuzz::ScratchDir();
    plat::SetProfileDir(dir);

    fuzz::Input in(data, size);
    const int flags = in.Byte();
    const int expireDays = in.Byte();
    const std::string grp = in.Bytes(in.Word());
    const std::string tmp = (flags & 1) ? in.Rest() : std::string();
    nestedAction = (flags >> 1) & 3;
    nestedRuns = 0;

    fuzz::MakeDir(fuzz::Join(dir, "news"));
    fuzz::MakeDir(fuzz::Join(dir, "news/NG1"));
    fuzz::MakeDir(fuzz::Join(dir, "news/NG2"));
    for (const char* name : kBystanders) fuzz::WriteBytes(fuzz::Join(dir, name), "keep");
    fuzz::WriteBytes(fuzz::Join(dir, "newsys.rc"), "alt.test:1\r\n");
    std::string ini = "[NG1]\r\nName=alt.test\r\n";
    if (expireDays == 255) ini += "ExpireDays=soon\r\n";
    if (expireDays != 0 && expireDays != 255)
        ini += "ExpireDays=" + std::to_string(static_cast<std::int8_t>(expireDays)) + "\r\n";
    fuzz::WriteBytes(fuzz::Join(dir, "qivnews.ini"), ini);
    const std::string grpPath = fuzz::Join(dir, "1.grp");
    const std::string tmpPath = fuzz::Join(dir, "1.tmp");
    if ((flags & 8) == 0 || !grp.empty()) fuzz::WriteBytes(grpPath, grp);
    if (flags & 1) fuzz::WriteBytes(tmpPath, tmp);
    // Every record's article exists, so that deleting it is seen.
    std::set<std::string> articles;
    for (const std::string& r : Records((flags & 1) ? tmp : grp)) {
        const std::string name = NameOf(r);
        if (spool::IsSafeArticleName(name)) articles.insert(name);
    }
    for (const std::string& name : articles)
        fuzz::WriteBytes(fuzz::Join(dir, "news/NG1/" + name), "article");

    std::int32_t lastGroupNum = 2;
    spool::SpoolContext ctx;
    ctx.spoolDir = dir;
    ctx.lastGroupNum = &lastGroupNum;

    spool::StartExpiry();
    // A restart asked for meanwhile walks the group once more.
    bool more = spool::ExpiryStep(ctx, 1);
    if (more && nestedAction != 0) RunNested(ctx);
    for (int i = 0; i < 100000 && more; ++i) more = spool::ExpiryStep(ctx, 1);
    FUZZ_CHECK(!spool::ExpiryRunning(), "the run did not end");
    FUZZ_CHECK(spool::ExpiryGroup() == 1, "the chain did not end");

    FUZZ_CHECK(!fuzz::Exists(tmpPath), "1.tmp left behind");
    for (const char* bystander : kBystanders)
        FUZZ_CHECK(fuzz::Exists(fuzz::Join(dir, bystander)), std::string("deleted ") + bystander);
    if (nestedAction == 3 && nestedRuns > 0) return 0;  // the group is gone

    const bool hadIndex = (flags & 8) == 0 || !grp.empty() || (flags & 1) != 0;
    if (hadIndex) FUZZ_CHECK(fuzz::Exists(grpPath), "1.grp lost");
    const std::string after = fuzz::ReadBytes(grpPath);
    if (expireDays == 255 && (flags & 1) == 0) {
        // ExpireDays is no number: nothing expires and the index is left alone.
        if (nestedAction != 1)
            FUZZ_CHECK(after == grp, "an index without an ExpireDays number changed");
        return 0;
    }
    FUZZ_CHECK(after.size() % spool::kRecordSize == 0,
               "1.grp of " + std::to_string(after.size()) + " bytes");
    if (nestedAction != 0) return 0;

    // The kept records: a subsequence of what the step started from (the
    // interrupted step's copy when there was one, after the records the new
    // index already held).
    const std::vector<std::string> kept = Records(after);
    std::vector<std::string> source = Records((flags & 1) ? tmp : grp);
    std::size_t at = 0;
    for (const std::string& r : kept) {
        if (flags & 1) {
            // Records the new index held before the step stay in front.
            bool found = false;
            for (const std::string& g : Records(grp)) found = found || g == r;
            if (found) continue;
        }
        while (at < source.size() && source[at] != r) ++at;
        FUZZ_CHECK(at < source.size(), "a kept record that was not in the index");
        ++at;
    }
    // A kept record's article stays, unless an expired record named it too.
    std::multiset<std::string> keptNames, allNames;
    for (const std::string& r : kept) keptNames.insert(NameOf(r));
    for (const std::string& r : source) allNames.insert(NameOf(r));
    for (const std::string& r : Records(grp)) allNames.insert(NameOf(r));
    for (const std::string& r : kept) {
        const std::string name = NameOf(r);
        if (articles.count(name) != 0 && keptNames.count(name) == allNames.count(name))
            FUZZ_CHECK(fuzz::Exists(fuzz::Join(dir, "news/NG1/" + name)),
                       "the article of a kept record was deleted: " + name);
    }
    return 0;
}
