#include "app/message_path.h"

namespace serialtap {

MessagePath::MessagePath(ShownStream& output, ShownStream& errors, CaptureView& view)
    : view_(view), output_{output, {}, {}}, errors_{errors, false, {}} {}

void MessagePath::put(Kept& kept, const std::string& text) {
    view_.beforeMessage();
    // Asked only now: a capture without messages makes no call for them.
    if (!kept.buffered) kept.buffered = &kept == &output_ && !kept.stream.terminal();
    if (kept.text.size() + text.size() > kKeptLimit) {
        kept.dropped += text.size();
    } else {
        kept.text += text;
    }
    if (!*kept.buffered || kept.text.size() >= kBufferBytes) write(kept);
}

void MessagePath::write(Kept& kept) {
    if (kept.text.empty()) return;
    ShownWrite done = kept.stream.write(kept.text.data(), kept.text.size(), ShownKind::Text);
    if (done.failed) {
        // Nobody will read them: a closed pipe.
        kept.text.clear();
        return;
    }
    kept.text.erase(0, done.written);
}

void MessagePath::retry() {
    if (!output_.text.empty() && !*output_.buffered) {
        view_.beforeMessage();
        write(output_);
    }
    if (!errors_.text.empty()) {
        view_.beforeMessage();
        write(errors_);
    }
}

void MessagePath::end() {
    write(output_);
    write(errors_);
    std::uint64_t dropped =
        output_.dropped + errors_.dropped + output_.text.size() + errors_.text.size();
    output_.text.clear();
    errors_.text.clear();
    if (dropped == 0) return;
    std::string note = std::to_string(dropped) + " bytes of messages were not shown\n";
    errors_.stream.write(note.data(), note.size(), ShownKind::Text);
}

}  // namespace serialtap
