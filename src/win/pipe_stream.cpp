#include "win/pipe_stream.h"

#include "win/error_text.h"
#include "win/overlapped_io.h"

namespace korvan::win {

namespace {

Result<std::uint32_t> counted(BoundedPipe& stream, const IoOutcome& done) {
    if (done.error != ERROR_SUCCESS) {
        stream.error = done.error;
        stream.timed_out = done.timed_out;
        return Failure{winapi_error_text(done.error), done.error};
    }
    stream.moved += done.count;
    return std::uint32_t{done.count};
}

}  // namespace

Result<std::uint32_t> read_some(BoundedPipe& stream, std::uint8_t* into, std::uint32_t count) {
    return counted(stream, read_overlapped(stream.pipe, stream.event, into, count,
                                           stream.deadline.tick_deadline()));
}

Result<std::uint32_t> write_some(BoundedPipe& stream, const std::uint8_t* from,
                                 std::uint32_t count) {
    // A write on a pipe completes at once whenever the pipe's buffer takes the bytes,
    // whatever time is left: the deadline is looked at first.
    if (stream.deadline.passed()) {
        return counted(stream, IoOutcome{ERROR_OPERATION_ABORTED, 0, true});
    }
    stream.began_writing = true;
    return counted(stream, write_overlapped(stream.pipe, stream.event, from, count,
                                            stream.deadline.tick_deadline()));
}

}  // namespace korvan::win
