// SPDX-License-Identifier: MIT
#include "unbcl/index_writer.hpp"

#include "unbcl/index_format.hpp"
#include "unbcl/member_name.hpp"

namespace unbcl {

std::optional<std::string> lineProblem(std::string_view text) {
    if (text.find('\n') != std::string_view::npos) return "holds a line feed";
    if (text.find('\r') != std::string_view::npos) return "holds a carriage return";
    if (text.find('\0') != std::string_view::npos) return "holds a NUL byte";
    if (text.find(kEndOfTextMark) != std::string_view::npos) return "holds a 0x1A byte, which ends an index";
    return std::nullopt;
}

std::optional<std::string> memberNameProblem(std::string_view stored) {
    if (stored.empty()) return "empty name";
    if (auto problem = lineProblem(stored)) return "name " + *problem;
    if (stored.size() > kMaxMemberNameChars) {
        return "name longer than " + std::to_string(kMaxMemberNameChars) + " characters";
    }
    if (const NameVerdict verdict = judgeMemberName(stored); verdict != NameVerdict::Safe) {
        return std::string(describeNameVerdict(verdict));
    }
    return std::nullopt;
}

Problems headerProblems(const std::vector<std::string>& headers) {
    Problems problems;
    for (const std::string& header : headers) {
        std::optional<std::string> problem = lineProblem(header);
        if (!problem && header.size() > kMaxIndexLineChars) {
            problem = "longer than " + std::to_string(kMaxIndexLineChars) + " characters";
        }
        if (problem) problems.add(makeProblem(ProblemKind::Refused, header, "refused header line: " + *problem));
    }
    return problems;
}

std::string nameLine(std::string_view stored) {
    // A name that fills the line leaves out the optional opening bracket; one that begins with
    // a bracket of its own needs it, or the reader would take that bracket for the optional one.
    std::string line;
    if (stored.size() + 2 <= kMaxIndexLineChars || (!stored.empty() && stored.front() == '[')) line += '[';
    line += stored;
    line += ']';
    return line;
}

int writeIndex(const ArchivePlan& plan, const MemberLayout& layout,
               const std::function<int(std::string_view)>& write) {
    constexpr std::size_t kPieceBytes = std::size_t{1} << 20;
    const std::string_view end = plan.form.crlf ? "\r\n" : "\n";
    std::string piece;
    piece.reserve(kPieceBytes + kMaxIndexLineChars * 3 + 6);
    piece += plan.header1;
    piece += end;
    piece += plan.header2.empty() ? std::to_string(plan.size()) + " FILES" : plan.header2;
    piece += end;
    int err = 0;
    plan.forEach([&](const PlanMember& m, std::size_t i) {
        if (err != 0) return;
        piece += nameLine(m.storedName);
        piece += end;
        piece += std::to_string(layout.offsets[i]);
        piece += end;
        piece += std::to_string(m.length);
        piece += end;
        if (piece.size() >= kPieceBytes) {
            err = write(piece);
            piece.clear();
        }
    });
    if (plan.form.endOfTextMark) piece += kEndOfTextMark;
    if (err == 0 && !piece.empty()) err = write(piece);
    return err;
}

std::string indexText(const ArchivePlan& plan, const MemberLayout& layout) {
    std::string text;
    writeIndex(plan, layout, [&text](std::string_view piece) {
        text += piece;
        return 0;
    });
    return text;
}

}  // namespace unbcl
