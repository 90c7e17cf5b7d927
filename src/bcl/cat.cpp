// bcl cat: writes the named members' bytes to standard output, in the order named.
#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "archive_access.hpp"
#include "commands.hpp"
#include "unbcl/member_copy.hpp"

namespace unbcl::bcl {

namespace {

// The last entry of a name is the one extraction leaves behind.
std::optional<ListMLV> lastEntryNamed(const EntryList& entries, const std::string& name) {
    std::optional<ListMLV> found;
    for (const ListMLV& e : entries) {
        if (e.fname == name) found = e;
    }
    return found;
}

}  // namespace

int catMembers(const ArchivePaths& paths, const std::vector<std::string>& members, const StandardStreams& streams) {
    Diagnostics diagnostics(streams.err, "bcl");
    const std::optional<LoadedIndex> index = loadIndex(paths.index, diagnostics);
    if (!index) return kBclCannotRun;
    const std::optional<InputFile> data = openOrReport(paths.data, diagnostics);
    if (!data) return kBclCannotRun;
    MemberCopier copier;
    for (const std::string& name : members) {
        const std::optional<ListMLV> entry = lastEntryNamed(index->entries, name);
        if (!entry) {
            diagnostics.report(name, "not in the archive");
            continue;
        }
        const CopyOutcome outcome = copier.copy(data->fd.get(), entry->offset, entry->length, streams.out);
        reportCopyOutcome(diagnostics, *entry, outcome, 0, CopyTarget::Stream);
    }
    return exitFor(diagnostics);
}

}  // namespace unbcl::bcl
