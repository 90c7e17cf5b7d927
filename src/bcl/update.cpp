// SPDX-License-Identifier: MIT
// bcl update: replaces members by files of the same name, in their places, and adds the rest.
#include <map>
#include <optional>
#include <set>

#include "archive_writing.hpp"
#include "case_twins.hpp"
#include "commands.hpp"
#include "input_files.hpp"

namespace unbcl::bcl {

namespace {

// update -I: which old member each file replaces ignoring case, by its stored spelling. A file
// whose name the archive has as it is replaces that member as ever. One that differs only by
// case from several spellings, or from a name another file has, is refused: there is no telling
// which is meant. New names that differ only by case from each other are refused unless
// allowTwins. False when anything was refused.
bool replacementsIgnoringCase(const std::vector<PlannedMember>& files, const CaseTwins& twins, bool allowTwins,
                              std::map<std::string, const PlannedMember*, std::less<>>& bySpelling,
                              Diagnostics& diagnostics) {
    std::set<std::string, std::less<>> named;
    for (const PlannedMember& f : files) named.insert(f.storedName);
    std::map<std::string, const PlannedMember*, std::less<>> newByKey;
    bool none = true;
    const auto refuse = [&](const PlannedMember& f, const std::string& why) {
        diagnostics.report(f.shownName, "refused: differs only by case from " + why);
        none = false;
    };
    for (const PlannedMember& f : files) {
        const std::vector<std::string> spellings = twins.oldSpellingsOf(f);
        if (spellings.size() > 1) {
            refuse(f, "several members (" + escapeControlBytes(spellings[0]) + ", " + escapeControlBytes(spellings[1]) +
                          "); -I cannot tell which to replace");
        } else if (spellings.size() == 1) {
            const auto [earlier, isNew] = bySpelling.emplace(spellings.front(), &f);
            if (named.contains(spellings.front()) || !isNew) {
                refuse(f, escapeControlBytes(isNew ? spellings.front() : earlier->second->shownName) + ", also given");
            }
        } else if (const auto [earlier, isNew] = newByKey.emplace(caseFolded(f.shownName), &f);
                   !allowTwins && !isNew && earlier->second->storedName != f.storedName) {
            refuse(f, escapeControlBytes(earlier->second->shownName) + ", also given (--allow-case-twins adds both)");
        }
    }
    return none;
}

}  // namespace

int updateArchive(const ArchivePaths& paths, const AddOptions& options, const StandardStreams& streams) {
    Diagnostics diagnostics(streams.err, "bcl");
    int exitCode = kBclFailed;
    std::optional<FilesToAdd> toAdd = prepareFilesToAdd(options, streams, diagnostics, exitCode);
    if (!toAdd) return exitCode;
    const std::vector<FileToAdd>& inputs = toAdd->files;
    std::optional<NameCharset>& charset = toAdd->charset;

    const auto plan = [&](const ArchiveUnderLock& archive) -> std::optional<ArchivePlan> {
        std::set<std::string, std::less<>> taken;
        // What was skipped is reported and fails the run once the rest is written; a refusal
        // writes nothing.
        std::size_t refused = 0;
        std::vector<PlannedMember> files = planNewMembers(inputs, options, archive, charset, taken, diagnostics, refused);
        if (refused > 0) return std::nullopt;
        std::map<std::string, const PlannedMember*, std::less<>> byName;
        for (const PlannedMember& m : files) byName.emplace(m.storedName, &m);
        // Where case is ignored a new spelling would be a second file of one name.
        std::optional<NameCharset> reading = CaseTwins::readingCharset(options.charset);
        const CaseTwins twins(files, archive.old->entries, reading);
        std::map<std::string, const PlannedMember*, std::less<>> bySpelling;  // -I: old stored name -> file
        if (options.ignoreCase) {
            if (!replacementsIgnoringCase(files, twins, options.allowCaseTwins, bySpelling, diagnostics)) {
                return std::nullopt;
            }
        } else if (!options.allowCaseTwins &&
                   !twins.refuseTwins(files, "-I replaces that member; --allow-case-twins adds this one beside it",
                                      diagnostics)) {
            return std::nullopt;
        }

        ArchivePlan p(&archive.old->entries);
        p.keepHeaders(*archive.old);
        std::set<std::string, std::less<>> replaced;  // the files' names that took a member's place
        std::size_t entry = 0;
        for (const ListMLV& e : archive.old->entries) {
            const auto exact = byName.find(e.fname);
            const auto folded = bySpelling.find(e.fname);
            if (exact != byName.end()) {
                // Every entry of the name takes the new bytes: extraction keeps only the last
                // anyway, and the others would be the old bytes under the name.
                p.add(*exact->second);
                replaced.insert(exact->first);
            } else if (folded != bySpelling.end()) {
                // The member keeps the spelling its program knows it by.
                PlannedMember m = *folded->second;
                m.storedName = std::string(e.fname);
                p.add(std::move(m));
                replaced.insert(folded->second->storedName);
            } else {
                p.keep(entry);
            }
            ++entry;
        }
        for (const PlannedMember& m : files) {
            if (!replaced.contains(m.storedName)) p.add(m);
        }
        return p;
    };
    return rewriteArchive(paths, {true, options.align, options.verbose}, plan, streams, diagnostics);
}

}  // namespace unbcl::bcl

namespace unbcl::bcl {

Command updateCommand() {
    const auto options = std::make_shared<AddOptions>();
    Command command;
    command.name = "update";
    command.summary = "Replace the members the files name, in their places, and add the other files at the end.";
    addFileOptions(command, options);
    command.options.push_back(flagOption("-I,--ignore-case",
                                         "replace a member whose name differs only by case, keeping its spelling",
                                         partOf(options, options->ignoreCase)));
    command.options.push_back(flagOption("--allow-case-twins",
                                         "add a name that differs only by case from a member's",
                                         partOf(options, options->allowCaseTwins)));
    command.run = [options](const CommandCall& call) {
        options->inputs.operands = call.operands;
        return updateArchive(call.paths, *options, call.streams);
    };
    return command;
}

}  // namespace unbcl::bcl
