#include "sim/fault_spec.h"

#include <cstdlib>

namespace quorvel::sim {
namespace {

// A whole unsigned number in C notation (decimal, 0x hex); nothing else may follow.
std::optional<unsigned long> Number(std::string_view text, int base = 0) {
    if (text.empty() || text.size() > 12) {
        return std::nullopt;
    }
    const std::string s(text);
    char* end = nullptr;
    const unsigned long v = std::strtoul(s.c_str(), &end, base);
    if (end != s.c_str() + s.size() || s[0] == '-' || s[0] == '+') {
        return std::nullopt;
    }
    return v;
}

std::optional<uint8_t> Byte(std::string_view text, int base = 0) {
    const auto v = Number(text, base);
    if (!v || *v > 0xFF) {
        return std::nullopt;
    }
    return static_cast<uint8_t>(*v);
}

}  // namespace

std::optional<SReplyFault> ParseFault(std::string_view text, std::string& error) {
    error.clear();
    SReplyFault f;
    const auto colon = text.find(':');
    if (colon == std::string_view::npos) {
        error = "expected KIND:ACTION";
        return std::nullopt;
    }
    const auto kind = ReplyKindFromName(text.substr(0, colon));
    if (!kind) {
        error = "unknown reply kind '" + std::string(text.substr(0, colon)) + "'; one of";
        for (std::size_t k = 0; k < kReplyKindCount; ++k) {
            error += (k == 0 ? " " : ", ") + std::string(ReplyKindName(static_cast<ReplyKind>(k)));
        }
        return std::nullopt;
    }
    f.kind = *kind;
    std::string_view rest = text.substr(colon + 1);

    if (const auto at = rest.find('@'); at != std::string_view::npos) {
        std::string_view which = rest.substr(at + 1);
        rest = rest.substr(0, at);
        std::optional<std::string_view> repeat;
        if (const auto plus = which.find('+'); plus != std::string_view::npos) {
            repeat = which.substr(plus + 1);
            which = which.substr(0, plus);
        }
        const auto n = Number(which, 10);
        if (!n || *n == 0) {
            error = "@N needs a number from 1";
            return std::nullopt;
        }
        f.nth = static_cast<uint32_t>(*n);
        if (repeat) {
            const auto r = Number(*repeat, 10);
            if (!r) {
                error = "+R needs a number";
                return std::nullopt;
            }
            f.repeat = static_cast<uint32_t>(*r);
        }
    }

    std::string_view action = rest;
    std::string_view arg;
    if (const auto eq = rest.find('='); eq != std::string_view::npos) {
        action = rest.substr(0, eq);
        arg = rest.substr(eq + 1);
    }
    if (action == "missing") {
        if (!arg.empty()) {
            error = "a missing reply takes no =value";
            return std::nullopt;
        }
        f.action = FaultAction::kMissing;
    } else if (action == "late") {
        const auto ms = Number(arg, 10);
        if (!ms) {
            error = "late=MS needs milliseconds";
            return std::nullopt;
        }
        f.action = FaultAction::kLate;
        f.lateNs = *ms * kNsPerMs;
    } else if (action == "wrong") {
        const auto b = Byte(arg);
        if (!b) {
            error = "wrong=BYTE needs a byte value";
            return std::nullopt;
        }
        f.action = FaultAction::kWrong;
        f.byte = *b;
    } else if (action == "noise") {
        f.action = FaultAction::kNoise;
        std::string_view list = arg;
        while (!list.empty()) {
            const auto comma = list.find(',');
            const std::string_view item = list.substr(0, comma);
            const bool cNotation = item.size() > 2 && item[0] == '0' && (item[1] | 0x20) == 'x';
            const auto b = cNotation ? Byte(item) : Byte(item, 16);
            if (!b) {
                error = "noise=HEX[,HEX...] needs hex bytes, e.g. noise=55,AA";
                return std::nullopt;
            }
            f.noise.push_back(*b);
            list = comma == std::string_view::npos ? std::string_view{} : list.substr(comma + 1);
        }
        if (f.noise.empty()) {
            error = "noise=HEX[,HEX...] needs at least one byte, e.g. noise=55,AA";
            return std::nullopt;
        }
    } else {
        error = "unknown action '" + std::string(rest) + "'";
        return std::nullopt;
    }
    return f;
}

bool ParseVersion(std::string_view text, uint8_t& major, uint8_t& minor) {
    const auto dot = text.find('.');
    if (dot == std::string_view::npos) {
        return false;
    }
    const auto ma = Number(text.substr(0, dot), 10);
    const auto mi = Number(text.substr(dot + 1), 10);
    if (!ma || !mi || *ma > 255 || *mi > 255) {
        return false;
    }
    major = static_cast<uint8_t>(*ma);
    minor = static_cast<uint8_t>(*mi);
    return true;
}

std::optional<uint8_t> ParseStopBits(std::string_view text) {
    if (text == "1") {
        return 2;
    }
    if (text == "1.5") {
        return 3;
    }
    if (text == "2") {
        return 4;
    }
    return std::nullopt;
}

}  // namespace quorvel::sim
