// The fastest any implementation can run a job: the pauses the protocol prescribes (100 ms
// before every frame, 20 ms after acknowledging a received frame) plus the wire time of every
// byte both ways at the nominal rate, ten bits a byte. Benchmarks and the tool's estimates
// measure against the same numbers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "link/velko_comm.h"

namespace velko {

class Floor {
  public:
    explicit Floor(uint32_t baud) : baud_(baud ? baud : 1) {}

    double wireMs(size_t bytes) const { return double(bytes) * 10000.0 / baud_; }

    // Opening the session (four wake-up bytes, the address, the device's "D" and our
    // acknowledgement) and closing it (the end bytes).
    double sessionMs() const { return kAckPauseMs + wireMs(4 + 4 + frame(1) + 1 + 2); }

    // One command frame with a text of `command` bytes, its acknowledgement, the reply frame
    // with `reply` text bytes and our acknowledgement.
    double exchangeMs(size_t command, size_t reply) const {
        return kFramePauseMs + kAckPauseMs + wireMs(frame(command) + 1 + frame(reply) + 1);
    }

    // An upload of `articles`: the session, one or two preparatory commands ("W38;n;1;"),
    // then each article's command, each answered "D".
    double uploadMs(const std::vector<ArticleRecord>& articles, bool skipSecondPreparation) const {
        double ms = sessionMs() + (skipSecondPreparation ? 1 : 2) * exchangeMs(8, 1);
        std::string name;
        ArticleCommand command;
        for (const ArticleRecord& article : articles) {
            articleCommand(article, name, command);
            ms += exchangeMs(std::strlen(command), 1);
        }
        return ms;
    }

    // A download: the session, four more wake-up bytes, "I0;1;" answered by the first listed
    // line, "G" by each further one (`listing[i]` text bytes each), and the final "D".
    double downloadMs(const std::vector<size_t>& listing) const {
        double ms = sessionMs() + wireMs(4);
        size_t command = 5;
        for (size_t line : listing) {
            ms += exchangeMs(command, line);
            command = 1;
        }
        return ms + exchangeMs(command, 1);
    }

  private:
    static constexpr double kFramePauseMs = 100, kAckPauseMs = 20;
    static size_t frame(size_t text) { return text + 4; }  // 0x0A, text, 0x0D, two CRC bytes

    uint32_t baud_;
};

}  // namespace velko
