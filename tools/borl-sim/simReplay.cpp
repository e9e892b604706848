#include "simReplay.h"

#include <algorithm>
#include <cstdio>

#include "exchangeFile.h"

namespace borlsim {
namespace {

constexpr int kExitDataErr = 65;     // EX_DATAERR: the exchange file is not well formed
constexpr int kExitUnreadable = 66;  // EX_NOINPUT: a file of the capture cannot be read

// Bytes of a capture's record, shared by the records that repeat them (a steady line's polls and
// replies), so that a long capture takes little memory.
using SharedBytes = std::shared_ptr<const std::vector<uint8_t>>;

struct ReplayStep {
    SharedBytes tx;  // the frame as captured; when `partial`, the bytes of it that reached the
                     // line before it was abandoned or its write failed
    bool partial = false;
    size_t line = 0;  // its line in the file (0: the bytes before the first frame)
    uint64_t t = 0;   // its time in the capture
    struct Chunk {
        uint64_t delayUs;
        SharedBytes bytes;
        size_t line;
    };
    std::vector<Chunk> chunks;
    std::vector<std::string> records;  // the daemon's records of the step: "line=L at=W kind ..."
    struct PortChange {
        uint64_t delayUs;
        LineChange change;  // lost: Down; reopen: Up
        size_t line;
    };
    std::vector<PortChange> port;
};

// A set-recorded record not yet placed: it is said with the step whose frame came before it,
// unless its set frame follows one frame later (below).
struct RecordedSet {
    int param;
    int value;
    size_t step;
    std::string text;
};

struct Replay {
    std::vector<ReplayStep> steps;  // steps[0]: what came before the first frame
    std::vector<RecordedSet> sets;
    SharedBytes last[2];  // the last tx and rx bytes
    uint64_t wallUs = 0;  // t = 0 of the capture
    uint64_t endUs = 0;   // t of its last record
    std::string start;    // the fields of its first start record
    size_t frames = 0;
};

// The daemon's own records (sets and the controller's state), as the "replay record" lines
// name them; false for the others.
bool outcomeText(const exchangefile::Record& r, std::string& out) {
    using exchangefile::Kind;
    if (r.kind != Kind::SetRecorded && r.kind != Kind::SetConfirmed && r.kind != Kind::SetGivenUp &&
        r.kind != Kind::Online && r.kind != Kind::Offline)
        return false;
    out = exchangefile::kindName(r.kind);
    if (r.kind != Kind::Online && r.kind != Kind::Offline)
        out += " " + std::to_string(r.param) + " " + std::to_string(r.value);
    return true;
}

// Places the recorded sets once a new frame is read. The daemon chooses a cycle's frame before
// it writes and records it, so a set picked up in between is recorded before a poll that was
// already chosen, and its set frame follows one frame later: such a set is said with the step
// of that poll, so that the replayed daemon gets it in the cycle before its set frame.
void placeSets(Replay& replay, bool atEnd) {
    const size_t last = replay.steps.size() - 1;
    const ReplayStep& step = replay.steps[last];
    Request rq;
    if (!atEnd && step.tx->size() == kFrameSize)
        rq = parseRequest(step.tx->data());
    for (auto it = replay.sets.begin(); it != replay.sets.end();) {
        const bool itsFrame =
            rq.kind == RequestKind::Set && rq.param == it->param && rq.value == it->value;
        if (!atEnd && !itsFrame && last < it->step + 2) {
            ++it;
            continue;
        }
        const size_t to = itsFrame && last == it->step + 2 ? it->step + 1 : it->step;
        auto& records = replay.steps[to].records;  // a set goes first: vexad sent it at once
        records.insert(records.begin(), it->text);
        it = replay.sets.erase(it);
    }
}

// `bytes` shared with the last record of their direction when they are the same.
SharedBytes share(SharedBytes& last, const std::vector<uint8_t>& bytes) {
    if (last == nullptr || *last != bytes)
        last = std::make_shared<const std::vector<uint8_t>>(bytes);
    return last;
}

// One record into the steps: a tx begins a step; an abandoned or failed frame marks the step
// of the bytes that reached the line (n > 0) or is a step of its own (n = 0).
void addRecord(Replay& replay, const exchangefile::Record& r) {
    using exchangefile::Kind;
    auto& steps = replay.steps;
    const auto wall = [&](uint64_t t) { return exchangefile::wallText(replay.wallUs + t, 3); };
    replay.endUs = r.t;
    std::string text;
    if (r.kind == Kind::Tx || ((r.kind == Kind::Abandoned || r.kind == Kind::WriteFailed) &&
                               (r.value == 0 || steps.size() == 1))) {
        ReplayStep step;
        // An abandoned or failed frame of its own: none of its bytes reached the line.
        step.tx = r.kind == Kind::Tx ? share(replay.last[0], r.bytes)
                                     : std::make_shared<const std::vector<uint8_t>>();
        step.partial = r.kind != Kind::Tx;
        step.line = r.line;
        step.t = r.t;
        steps.push_back(std::move(step));
        ++replay.frames;
        placeSets(replay, false);
    } else if (r.kind == Kind::Abandoned || r.kind == Kind::WriteFailed) {
        ReplayStep& step = steps.back();
        step.partial = true;
        const size_t n = std::min(step.tx->size(), static_cast<size_t>(r.value));
        step.tx =
            std::make_shared<const std::vector<uint8_t>>(step.tx->begin(), step.tx->begin() + n);
    } else if (r.kind == Kind::Rx) {
        ReplayStep& step = steps.back();
        step.chunks.push_back(
            {steps.size() == 1 ? 0 : r.t - step.t, share(replay.last[1], r.bytes), r.line});
    } else if ((r.kind == Kind::Lost || r.kind == Kind::Reopen) && steps.size() > 1) {
        ReplayStep& step = steps.back();
        step.port.push_back(
            {r.t - step.t, r.kind == Kind::Lost ? LineChange::Down : LineChange::Up, r.line});
    } else if (r.kind == Kind::Start && replay.start.empty()) {
        replay.start = r.text;
    } else if (outcomeText(r, text)) {
        steps.back().records.push_back("line=" + std::to_string(r.line) + " at=" + wall(r.t) + " " +
                                       text);
    }
}

// Reads the capture, its files in time order; 0, or the exit status after "FILE:LINE: what".
int readCapture(const std::vector<std::string>& files, Replay& replay) {
    exchangefile::Sequence capture(files);
    exchangefile::Record r;
    replay.steps.resize(1);
    for (;;) {
        const exchangefile::Sequence::Result got = capture.next(r);
        if (got == exchangefile::Sequence::Got) {
            replay.wallUs = capture.wallUs();
            addRecord(replay, r);
            continue;
        }
        if (got == exchangefile::Sequence::End) {
            placeSets(replay, true);
            return 0;
        }
        if (got == exchangefile::Sequence::Unreadable) {
            std::fprintf(stderr, "borl-sim: %s: %s\n", capture.file().c_str(),
                         capture.why().c_str());
            return kExitUnreadable;
        }
        std::fprintf(stderr, "borl-sim: %s%s:%zu: %s\n",
                     got == exchangefile::Sequence::Cut ? "warning: " : "", capture.file().c_str(),
                     capture.line(), capture.why().c_str());
        if (got == exchangefile::Sequence::Fault)
            return kExitDataErr;
    }
}

// A frame as the "replay diverged" line names it.
std::string describe(const uint8_t* frame, size_t n) {
    if (n != kFrameSize)
        return std::to_string(n) + " bytes";
    const Request rq = parseRequest(frame);
    if (rq.kind == RequestKind::Bad)
        return std::string("bad frame (") + rq.reason + ")";
    return requestText(rq);
}

// Each frame of the daemon takes the next step of the capture.
class CaptureReplay : public Answerer {
public:
    CaptureReplay(Replay replay, unsigned long speed) : mReplay(std::move(replay)), mSpeed(speed) {}

    // The capture as the replay begins: its time span, its frames and its first start record.
    std::vector<std::string> begin() override {
        const auto wall = [&](uint64_t t) { return exchangefile::wallText(mReplay.wallUs + t, 3); };
        return {"replay capture from=" + wall(0) + " to=" + wall(mReplay.endUs) +
                " frames=" + std::to_string(mReplay.frames) + (mReplay.start.empty() ? "" : " ") +
                mReplay.start};
    }

    // The next step answers the daemon's frame, whatever that frame is: one that differs from
    // the captured one is said on a "replay diverged" line. The frame of a step that was
    // abandoned or failed in the capture matches when it begins with the bytes that reached the
    // line then: the replayed daemon writes whole frames to a line that takes them.
    Answer answer(const GatherEvent& e, Clock::time_point now) override {
        Answer out;
        if (mNext >= mReplay.steps.size())
            return out;  // the capture is over: silence
        const size_t index = mNext++;
        const ReplayStep& step = mReplay.steps[index];
        const std::string at = exchangefile::wallText(mReplay.wallUs + step.t, 3);
        out.said.push_back("replay step " + std::to_string(index) +
                           " line=" + std::to_string(step.line) + " at=" + at);
        std::vector<ReplayStep::Chunk> chunks = step.chunks;
        if (index == 1) {  // what came before the first frame goes with it: the daemon runs
            records(mReplay.steps[0], out);
            chunks.insert(chunks.begin(), mReplay.steps[0].chunks.begin(),
                          mReplay.steps[0].chunks.end());
        }
        records(step, out);
        if (!matches(step, e.frame))
            out.said.push_back("replay diverged at line " + std::to_string(step.line) + " (" + at +
                               "): the daemon sent " + describe(e.frame.data(), e.frame.size()) +
                               ", the capture has " + captured(step));
        for (const ReplayStep::Chunk& c : chunks) {
            const std::string said = "tx replay n=" + std::to_string(c.bytes->size()) +
                                     " line=" + std::to_string(c.line);
            out.replies.push_back({dueAt(now, c.delayUs), *c.bytes, {said}});
        }
        for (const ReplayStep::PortChange& c : step.port) {
            const char* what = c.change == LineChange::Down ? "replay lost" : "replay reopen";
            const std::string said = what + (" line=" + std::to_string(c.line));
            out.replies.push_back({dueAt(now, c.delayUs), {}, {said}, c.change});
        }
        return out;
    }

    // Once the last step's bytes are on the line.
    std::optional<std::string> finished() override {
        if (mNext < mReplay.steps.size())
            return std::nullopt;
        return "replay done";
    }

private:
    // The daemon's records of a step, said as its frame arrives: a set that vexad sent in this
    // cycle of the capture ("replay record ... set-recorded P V"), and the outcomes to expect.
    static void records(const ReplayStep& step, Answer& out) {
        for (const std::string& r : step.records)
            out.said.push_back("replay record " + r);
    }

    static bool matches(const ReplayStep& step, const Frame& frame) {
        const std::vector<uint8_t>& tx = *step.tx;
        return (step.partial ? tx.size() <= frame.size() : tx.size() == frame.size()) &&
               std::equal(tx.begin(), tx.end(), frame.begin());
    }

    static std::string captured(const ReplayStep& step) {
        if (step.partial)
            return "a frame cut off after " + std::to_string(step.tx->size()) + " bytes";
        return describe(step.tx->data(), step.tx->size());
    }

    Clock::time_point dueAt(Clock::time_point now, uint64_t delayUs) const {
        return now + std::chrono::microseconds(mSpeed == 0 ? 0 : delayUs / mSpeed);
    }

    Replay mReplay;
    unsigned long mSpeed;  // captured delays divided by this; 0: no delays
    size_t mNext = 1;      // steps[0] holds what the capture has before its first frame
};

}  // namespace

int loadReplay(const std::vector<std::string>& files, unsigned long speed,
               std::unique_ptr<Answerer>& out) {
    Replay replay;
    if (const int status = readCapture(files, replay))
        return status;
    out = std::make_unique<CaptureReplay>(std::move(replay), speed);
    return 0;
}

}  // namespace borlsim
