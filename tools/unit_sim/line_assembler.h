// Turns the bytes of a link into lines. The uploader writes long lines in
// pieces and may end a line with "\r\n" or "\n", so a line is complete only at
// its line feed, never at the end of a write.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orvex::sim {

// The line without its "\n" or "\r\n".
std::string_view withoutLineEnd(std::string_view line);

struct AssembledLine {
    enum class Kind {
        whole,         // ended by its line feed
        overlong,      // cut at the size limit; the rest up to the line feed is dropped
        messageEnd,    // GPIB: a code test ended by EOI before its line feed
        continuation,  // GPIB: the rest of a code test already taken at EOI
    };
    std::string text;  // line end included where one came
    Kind kind = Kind::whole;
};

class LineAssembler {
public:
    // Far longer than any command or record (a record is at most 523 bytes).
    static constexpr std::size_t kMaxLineBytes = 4096;

    std::vector<AssembledLine> feed(std::string_view bytes);

    // A GPIB write with EOI ends a message. A code test is recognised then; a
    // HEX record still waits for its line feed, because a record longer than one
    // piece arrives in several EOI-ended writes. A later piece of a long line
    // that begins with a code-test mark is answered as a code test of its own:
    // the uploader reads after every piece that begins so.
    std::optional<AssembledLine> endOfMessage();

    bool idle() const { return pending_.empty(); }

private:
    std::string pending_;
    bool dropping_ = false;          // inside an overlong line
    bool continuesMessage_ = false;  // the pending text ends a code test taken at EOI
    std::string message_;            // the current message while it continues a line
    bool inMessage_ = false;         // bytes arrived since the last end of message
    bool messageMidLine_ = false;    // the current message began inside a line
};

}  // namespace orvex::sim
