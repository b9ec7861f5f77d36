#include "client/transact.h"

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "client/connect.h"
#include "client/exchange.h"
#include "client/server_identity.h"
#include "win/handle.h"

namespace korvan::client {

Result<std::string> transact(const Target& target, std::string_view body) {
    // What the check needs of the Service Control Manager is asked before connecting:
    // once connected, the service may end a connection that is slow to send.
    const std::optional<KnownService> known =
        target.server_check && is_service_pipe(target.pipe_name) && !target.deadline.passed()
            ? know_service(target.query_service)
            : std::nullopt;
    Result<win::UniqueHandle> client =
        open_pipe(target.pipe_name, target.deadline, target.query_service);
    if (!client) {
        return client.failure();
    }
    if (target.server_check) {
        if (target.deadline.passed()) {
            return timed_out_before_sending(target.deadline);
        }
        if (Result<void> checked =
                verify_pipe_server(client->get(), target.check_hint, target.query_service, known);
            !checked) {
            return checked.failure();
        }
    }
    if (target.deadline.passed()) {
        return timed_out_before_sending(target.deadline);
    }
    Result<std::vector<std::uint8_t>> reply =
        exchange(client->get(),
                 std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(body.data()),
                                               body.size()),
                 target.deadline);
    if (!reply) {
        return reply.failure();
    }
    return std::string(reply->begin(), reply->end());
}

}  // namespace korvan::client
