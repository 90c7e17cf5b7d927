// SPDX-License-Identifier: MIT
// bcl update: replaces members by files of the same name, in their places, and adds the rest.
#include <map>
#include <optional>
#include <set>

#include "archive_writing.hpp"
#include "commands.hpp"
#include "input_files.hpp"

namespace unbcl::bcl {

int updateArchive(const ArchivePaths& paths, const AddOptions& options, const StandardStreams& streams) {
    Diagnostics diagnostics(streams.err, "bcl");
    int exitCode = kBclFailed;
    std::optional<FilesToAdd> toAdd = prepareFilesToAdd(options, streams, diagnostics, exitCode);
    if (!toAdd) return exitCode;
    const std::vector<FileToAdd>& inputs = toAdd->files;
    std::optional<NameCharset>& charset = toAdd->charset;

    const auto plan = [&](const ArchiveUnderLock& archive) -> std::optional<ArchivePlan> {
        std::set<std::string, std::less<>> taken;
        // Files a walk skipped were reported already; a name refused now writes nothing.
        const std::size_t reportedBefore = diagnostics.reportCount();
        std::vector<PlannedMember> files = planNewMembers(inputs, options, archive, charset, taken, diagnostics);
        if (diagnostics.reportCount() > reportedBefore) return std::nullopt;
        std::map<std::string, const PlannedMember*, std::less<>> byName;
        std::map<std::string, const PlannedMember*, std::less<>> byFoldedName;
        for (const PlannedMember& m : files) {
            byName.emplace(m.storedName, &m);
            if (options.ignoreCase) byFoldedName.emplace(caseFolded(m.storedName), &m);
        }
        // Where case is ignored a new spelling would be a second file of one name.
        if (!options.ignoreCase && !options.allowCaseTwins &&
            !refuseCaseTwins(files, oldSpellingsOf(files, archive.old->entries),
                             "-I replaces that member; --allow-case-twins adds this one beside it", diagnostics)) {
            return std::nullopt;
        }

        ArchivePlan p(&archive.old->entries);
        p.keepHeaders(*archive.old);
        std::set<std::string, std::less<>> replaced;  // the files' names that took a member's place
        std::size_t entry = 0;
        for (const ListMLV& e : archive.old->entries) {
            const auto exact = byName.find(e.fname);
            const auto folded = exact == byName.end() && options.ignoreCase ? byFoldedName.find(caseFolded(e.fname))
                                                                             : byFoldedName.end();
            if (exact != byName.end()) {
                // Every entry of the name takes the new bytes: extraction keeps only the last
                // anyway, and the others would be the old bytes under the name.
                p.add(*exact->second);
                replaced.insert(exact->first);
            } else if (folded != byFoldedName.end()) {
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
