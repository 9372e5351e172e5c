// Bookkeeping of the requests outstanding on one HTTP connection.
#include "transfer/http_pipeline.h"

#include <utility>

void HttpPipeline::settle() {
    if (client_.socket >= 0 && client_.opened == connection_) return;
    outstanding_.clear();
    held_ = 0;
    connection_ = client_.opened;
    answered_ = 0;
}

bool HttpPipeline::next_is(const FileRecord &file, const std::string &target) const {
    return !outstanding_.empty() && outstanding_.front().file == &file &&
           outstanding_.front().target == target;
}

void HttpPipeline::sent(const FileRecord &file, std::string target, bool ahead) {
    settle();
    outstanding_.push_back({&file, std::move(target), ahead});
}

void HttpPipeline::answered() {
    if (!outstanding_.empty()) outstanding_.pop_front();
    held_ = std::min(held_, outstanding_.size());
    answered_++;
}

size_t HttpPipeline::room_ahead() const {
    const size_t depth = static_cast<size_t>(client_.context->pipeline);
    if (client_.socket < 0 || client_.opened != connection_ || answered_ == 0 ||
        client_.received.peer_closes || outstanding_.size() >= depth)
        return 0;
    return depth - outstanding_.size();
}

bool HttpPipeline::lost_ahead() {
    if (!next_was_ahead() || !client_.head.empty() || client_.ended != ReceiveEnd::kClosed)
        return false;
    // Only the reply read before the requests went ahead: none of them
    // was ever answered on this connection.
    if (answered_ <= 1) client_.context->pipeline = 1;
    drop();
    return true;
}

void HttpPipeline::drop() {
    if (client_.socket >= 0)
        received_close(client_.context->io, client_.socket, client_.received, true);
    settle();
}
