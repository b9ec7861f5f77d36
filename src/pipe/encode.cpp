#include "pipe/encode.h"

#include <string_view>

namespace korvan::pipe {

namespace {

void put_string(std::string& out, std::string_view text) {
    static constexpr char HEX[] = "0123456789abcdef";
    out += '"';
    size_t clean_from = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte >= 0x20 && byte != '"' && byte != '\\') {
            continue;
        }
        out.append(text, clean_from, i - clean_from);
        clean_from = i + 1;
        switch (byte) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\b':
                out += "\\b";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\f':
                out += "\\f";
                break;
            case '\r':
                out += "\\r";
                break;
            default:
                out += "\\u00";
                out += HEX[byte >> 4];
                out += HEX[byte & 0xF];
        }
    }
    out.append(text, clean_from, text.size() - clean_from);
    out += '"';
}

void put_port(std::string& out, std::optional<std::uint16_t> port) {
    if (port) {
        out += std::to_string(*port);
    } else {
        out += "null";
    }
}

void put_kind(std::string& out, std::string_view kind) {
    out += "{\"ok\":";
    put_string(out, kind);
}

void put_key(std::string& out, std::string_view key) {
    out += ',';
    put_string(out, key);
    out += ':';
}

void put_fields(std::string& out, const response::Pong& pong) {
    put_kind(out, "pong");
    put_key(out, "version");
    put_string(out, pong.version);
    put_key(out, "service_version");
    put_string(out, pong.service_version);
}

void put_fields(std::string& out, const response::Status& status) {
    put_kind(out, "status");
    put_key(out, "running");
    out += status.running ? "true" : "false";
    put_key(out, "mixed_port");
    put_port(out, status.mixed_port);
    put_key(out, "ctl_port");
    put_port(out, status.ctl_port);
}

void put_fields(std::string& out, const response::Started& started) {
    put_kind(out, "started");
    put_key(out, "mixed_port");
    put_port(out, started.mixed_port);
    put_key(out, "ctl_port");
    put_port(out, started.ctl_port);
}

void put_fields(std::string& out, const response::Stopped&) {
    put_kind(out, "stopped");
}

void put_fields(std::string& out, const response::Error& error) {
    put_kind(out, "error");
    put_key(out, "code");
    put_string(out, error.code);
    put_key(out, "message");
    put_string(out, error.message);
}

}  // namespace

std::string encode_response(const Response& response) {
    std::string out;
    out.reserve(128);
    std::visit([&out](const auto& kind) { put_fields(out, kind); }, response);
    out += '}';
    return out;
}

}  // namespace korvan::pipe
