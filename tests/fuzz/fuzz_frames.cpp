// The frame receiver fed arbitrary bytes from the line: every reply ends with a result code,
// never a crash, an overrun or a hang (the virtual clock bounds every wait).
#include "link/velko_comm.h"
#include "sim/sim_line.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    velko::SimLine line;
    velko::VELKOComm link(line);
    if (!link.open(1, 9600) || !link.setReadTimeouts(200, 30)) return 0;
    link.setBeginFrameTimeout(1000);
    line.deliver(velko::Bytes(data, data + size));
    velko::ReplyString reply, field;
    ArticleRecord record{};
    // Read frames until the line runs dry, handling each as the download would.
    while (link.receiveFrame(reply, true) == VELKO_OK) {
        if (reply.size() > velko::MAX_FRAME_DATA_LEN) __builtin_trap();
        velko::parseArticleReply(reply, field, record);
    }
    return 0;
}
