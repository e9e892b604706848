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

// For each frame the daemon wrote, what the line brought back after it until the next frame,
// with the delays after the frame.
struct ReplayStep {
    SharedBytes tx;  // the frame as captured; when `partial`, the bytes of it that reached the
                     // line before it was abandoned or its write failed
    bool partial = false;
    size_t line = 0;  // its line in the file (0: the bytes before the first frame)
    uint64_t t = 0;   // its time in the capture
    struct Chunk {
        uint64_t delayUs;
        SharedBytes bytes;  // none for a port change
        size_t line;
        LineChange change = LineChange::None;  // lost: Down; reopen: Up
    };
    std::vector<Chunk> chunks;
    std::vector<std::string> records;  // the daemon's records of the step: "line=L at=W kind ..."
    std::vector<Chunk> port;           // the port lost or back
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

// `bytes` shared with the last record of their direction when they are the same.
SharedBytes share(SharedBytes& last, const std::vector<uint8_t>& bytes) {
    if (last == nullptr || *last != bytes)
        last = std::make_shared<const std::vector<uint8_t>>(bytes);
    return last;
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
    explicit CaptureReplay(unsigned long speed) : mSpeed(speed) {}

    // Reads the capture, its files in time order; 0, or the exit status after "FILE:LINE: what".
    int read(const std::vector<std::string>& files) {
        exchangefile::Sequence capture(files);
        exchangefile::Record r;
        mSteps.resize(1);
        for (;;) {
            const exchangefile::Sequence::Result got = capture.next(r);
            if (got == exchangefile::Sequence::Got) {
                mWallUs = capture.wallUs();
                add(r);
                continue;
            }
            if (got == exchangefile::Sequence::End)
                return 0;
            if (got == exchangefile::Sequence::Unreadable) {
                std::fprintf(stderr, "borl-sim: %s: %s\n", capture.file().c_str(),
                             capture.why().c_str());
                return kExitUnreadable;
            }
            std::fprintf(stderr, "borl-sim: %s%s:%zu: %s\n",
                         got == exchangefile::Sequence::Cut ? "warning: " : "",
                         capture.file().c_str(), capture.line(), capture.why().c_str());
            if (got == exchangefile::Sequence::Fault)
                return kExitDataErr;
        }
    }

    // The capture as the replay begins: its time span, its frames and its first start record.
    std::vector<std::string> begin() override {
        return {"replay capture from=" + wall(0) + " to=" + wall(mEndUs) +
                " frames=" + std::to_string(mFrames) + (mStart.empty() ? "" : " ") + mStart};
    }

    // The next step answers the daemon's frame, whatever that frame is: one that differs from
    // the captured one is said on a "replay diverged" line. The frame of a step that was
    // abandoned or failed in the capture matches when it begins with the bytes that reached the
    // line then: the replayed daemon writes whole frames to a line that takes them.
    Answer answer(const GatherEvent& e, Clock::time_point now) override {
        Answer out;
        if (mNext >= mSteps.size())
            return out;  // the capture is over: silence
        const size_t index = mNext++;
        const ReplayStep& step = mSteps[index];
        out.said.push_back("replay step " + std::to_string(index) +
                           " line=" + std::to_string(step.line) + " at=" + wall(step.t));
        std::vector<ReplayStep::Chunk> chunks = step.chunks;
        if (index == 1) {  // what came before the first frame goes with it: the daemon runs
            records(mSteps[0], out);
            chunks.insert(chunks.begin(), mSteps[0].chunks.begin(), mSteps[0].chunks.end());
        }
        records(step, out);
        const std::vector<uint8_t>& tx = *step.tx;
        if (!(step.partial ? tx.size() <= e.frame.size() : tx.size() == e.frame.size()) ||
            !std::equal(tx.begin(), tx.end(), e.frame.begin())) {
            const std::string captured =
                step.partial ? "a frame cut off after " + std::to_string(tx.size()) + " bytes"
                             : describe(tx.data(), tx.size());
            out.said.push_back("replay diverged at line " + std::to_string(step.line) + " (" +
                               wall(step.t) + "): the daemon sent " +
                               describe(e.frame.data(), e.frame.size()) + ", the capture has " +
                               captured);
        }
        for (const ReplayStep::Chunk& c : chunks) {
            const std::string said = "tx replay n=" + std::to_string(c.bytes->size()) +
                                     " line=" + std::to_string(c.line);
            out.replies.push_back({dueAt(now, c.delayUs), *c.bytes, {said}});
        }
        for (const ReplayStep::Chunk& c : step.port) {
            const char* what = c.change == LineChange::Down ? "replay lost" : "replay reopen";
            const std::string said = what + (" line=" + std::to_string(c.line));
            out.replies.push_back({dueAt(now, c.delayUs), {}, {said}, c.change});
        }
        return out;
    }

    // Once the last step's bytes are on the line.
    std::optional<std::string> finished() override {
        if (mNext < mSteps.size())
            return std::nullopt;
        return "replay done";
    }

private:
    // A time of the capture as wall-clock text, to the millisecond.
    std::string wall(uint64_t t) const { return exchangefile::wallText(mWallUs + t, 3); }

    Clock::time_point dueAt(Clock::time_point now, uint64_t delayUs) const {
        return now + std::chrono::microseconds(mSpeed == 0 ? 0 : delayUs / mSpeed);
    }

    // The daemon's records of a step, said as its frame arrives: a set that vexad sent in this
    // cycle of the capture ("replay record ... set-recorded P V"), and the outcomes to expect.
    static void records(const ReplayStep& step, Answer& out) {
        for (const std::string& r : step.records)
            out.said.push_back("replay record " + r);
    }

    // One record into the steps: a tx begins a step; an abandoned or failed frame marks the step
    // of the bytes that reached the line (n > 0) or is a step of its own (n = 0).
    void add(const exchangefile::Record& r) {
        using exchangefile::Kind;
        mEndUs = r.t;
        std::string text;
        if (r.kind == Kind::Tx || ((r.kind == Kind::Abandoned || r.kind == Kind::WriteFailed) &&
                                   (r.value == 0 || mSteps.size() == 1))) {
            ReplayStep step;
            // An abandoned or failed frame of its own: none of its bytes reached the line.
            step.tx = r.kind == Kind::Tx ? share(mLast[0], r.bytes)
                                         : std::make_shared<const std::vector<uint8_t>>();
            step.partial = r.kind != Kind::Tx;
            step.line = r.line;
            step.t = r.t;
            mSteps.push_back(std::move(step));
            ++mFrames;
        } else if (r.kind == Kind::Abandoned || r.kind == Kind::WriteFailed) {
            ReplayStep& step = mSteps.back();
            step.partial = true;
            const size_t n = std::min(step.tx->size(), static_cast<size_t>(r.value));
            step.tx = std::make_shared<const std::vector<uint8_t>>(step.tx->begin(),
                                                                   step.tx->begin() + n);
        } else if (r.kind == Kind::Rx) {
            ReplayStep& step = mSteps.back();
            step.chunks.push_back(
                {mSteps.size() == 1 ? 0 : r.t - step.t, share(mLast[1], r.bytes), r.line});
        } else if ((r.kind == Kind::Lost || r.kind == Kind::Reopen) && mSteps.size() > 1) {
            ReplayStep& step = mSteps.back();
            step.port.push_back({r.t - step.t, nullptr, r.line,
                                 r.kind == Kind::Lost ? LineChange::Down : LineChange::Up});
        } else if (r.kind == Kind::Start && mStart.empty()) {
            mStart = r.text;
        } else if (outcomeText(r, text)) {
            mSteps.back().records.push_back("line=" + std::to_string(r.line) + " at=" + wall(r.t) +
                                            " " + text);
        }
    }

    unsigned long mSpeed;            // captured delays divided by this; 0: no delays
    std::vector<ReplayStep> mSteps;  // [0]: what came before the first frame
    SharedBytes mLast[2];            // the last tx and rx bytes
    uint64_t mWallUs = 0;            // t = 0 of the capture
    uint64_t mEndUs = 0;             // t of its last record
    std::string mStart;              // the fields of its first start record
    size_t mFrames = 0;
    size_t mNext = 1;  // the step that answers the next frame
};

}  // namespace

int loadReplay(const std::vector<std::string>& files, unsigned long speed,
               std::unique_ptr<Answerer>& out) {
    auto replay = std::make_unique<CaptureReplay>(speed);
    if (const int status = replay->read(files))
        return status;
    out = std::move(replay);
    return 0;
}

}  // namespace borlsim
