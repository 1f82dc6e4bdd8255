// The control request travels from the client to the server as one encoded line; whatever the
// client parsed must arrive unchanged.
#include "tools/qvdriversim/tControlRequest.h"

#include <gtest/gtest.h>

#include <cerrno>

#include <string>
#include <vector>

#include "tools/qvdriversim/controlAddress.h"

namespace nQUORVAMONITORD_18_5 {
namespace nQVDRIVERSIM {
namespace {

void expectSameRequest(const tControlRequest& a, const tControlRequest& b) {
    EXPECT_EQ(a.command, b.command);
    EXPECT_EQ(a.eventType, b.eventType);
    EXPECT_EQ(a.hasCookie, b.hasCookie);
    EXPECT_EQ(a.cookie, b.cookie);
    EXPECT_EQ(a.payload, b.payload);
    EXPECT_EQ(a.hasPayloadSize, b.hasPayloadSize);
    EXPECT_EQ(a.payloadSize, b.payloadSize);
    EXPECT_EQ(a.netlinkType, b.netlinkType);
    EXPECT_EQ(a.length, b.length);
    EXPECT_EQ(a.raw, b.raw);
    EXPECT_EQ(a.registerErrno, b.registerErrno);
    EXPECT_EQ(a.failCount, b.failCount);
}

TEST(tControlRequestTest, EncodedRequestsDecodeToTheSameRequest) {
    const std::vector<std::vector<std::string>> commands = {
        {"notify"},
        {"release", "--payload", "00ff"},
        {"notify", "--cookie", "18446744073709551615", "--payload-size", "0xffffffff"},
        {"send", "--event", "0", "--payload-size", "0", "--nltype", "65535", "--length", "0"},
        {"send", "--event", "3", "--payload", std::string(64, 'e'), "--cookie", "0"},
        {"send", "--hex", "00 01:02 ff"},
        {"send", "--hex", ""},
        {"send", "--event", "1", "--nltype", "28", "--length", "72"},
        {"log"},
        {"ports", "--kernel"},
        {"--kernel", "notify", "--cookie", "5"},
        {"fail-register", "EPERM"},
        {"fail-register", "--kernel", "511", "0"},
        {"fail-register", "ENOSPC", "4294967295"},
        {"remove"},
        {"add"},
    };
    for (const std::vector<std::string>& args : commands) {
        tControlRequest parsed;
        std::string control;
        std::string error;
        ASSERT_TRUE(parsed.parseArguments(args, control, error)) << args[0] << ": " << error;
        tControlRequest decoded;
        ASSERT_TRUE(decoded.decode(parsed.encode(), error)) << parsed.encode() << ": " << error;
        SCOPED_TRACE(parsed.encode());
        expectSameRequest(parsed, decoded);
    }
}

TEST(tControlRequestTest, CommandsSetTheirEventAndDefaults) {
    tControlRequest request;
    std::string control;
    std::string error;
    ASSERT_TRUE(request.parseArguments({"release", "--control", "/tmp/x.sock"}, control, error));
    EXPECT_EQ(request.command, tControlRequest::tCommand::kSend);
    EXPECT_EQ(request.eventType, 2);
    EXPECT_EQ(request.netlinkType, kDefaultNetlinkType);
    EXPECT_EQ(request.length, 72u);
    EXPECT_FALSE(request.hasCookie);
    EXPECT_FALSE(request.hasPayloadSize);
    EXPECT_EQ(control, "/tmp/x.sock");
    // The kernel module refuses --nltype and --length: their defaults stay off the line.
    EXPECT_EQ(request.encode(), "send --event 2 --payload 0x");

    ASSERT_TRUE(request.parseArguments({"send", "--event", "9", "--nltype", "2", "--length", "16"},
                                       control, error));
    EXPECT_EQ(request.encode(), "send --event 9 --payload 0x --nltype 2 --length 16");

    ASSERT_TRUE(request.parseArguments({"fail-register", "EACCES", "--kernel"}, control, error));
    EXPECT_EQ(request.command, tControlRequest::tCommand::kFailRegister);
    EXPECT_EQ(request.registerErrno, EACCES);
    EXPECT_EQ(request.failCount, 1u);
    EXPECT_EQ(control, kKernelControlPath);
    EXPECT_EQ(request.encode(), "fail-register 13 1");

    control.clear();
    ASSERT_TRUE(request.parseArguments({"--kernel", "ports"}, control, error));
    EXPECT_EQ(request.command, tControlRequest::tCommand::kPorts);
    EXPECT_EQ(control, kKernelControlPath);

    ASSERT_TRUE(request.parseArguments({"send", "--hex", "0x0a0b"}, control, error));
    EXPECT_EQ(request.command, tControlRequest::tCommand::kSendRaw);
    EXPECT_EQ(request.raw, std::string("\x0a\x0b"));

    ASSERT_TRUE(request.parseArguments({"notify", "--payload", "0102"}, control, error));
    EXPECT_EQ(request.eventType, 1);
    EXPECT_EQ(request.payload, std::string("\x01\x02"));
}

TEST(tControlRequestTest, MalformedCommandsAreRefused) {
    const std::vector<std::vector<std::string>> commands = {
        {},
        {"send"},
        {"send", "--event"},
        {"send", "--event", "-1"},
        {"send", "--event", "1", "--length", "4294967296"},
        {"send", "--event", "1", "--cookie", "18446744073709551616"},
        {"send", "--event", "1", "--payload", "0"},
        {"send", "--hex", std::string(2 * (kMaxRawSize + 1), '0')},
        {"send", "--hex", "00", "--cookie", "1"},
        {"release", "--hex", "00"},
        {"ports", "--event", "1"},
        {"ports", "--kernel", "x"},
        {"--kernel"},
        {"--kernel", "--control", "/x", "ports"},
        {"fail-register"},
        {"fail-register", "EWHATEVER"},
        {"fail-register", "ENOSYS"},
        {"fail-register", "EIO", "1", "2"},
        {"fail-register", "EIO", "-1"},
        {"fail-register", "EIO", "--cookie", "1"},
        {"remove", "now"},
        {"add", "--payload", "00"},
    };
    for (const std::vector<std::string>& args : commands) {
        tControlRequest request;
        std::string control;
        std::string error;
        EXPECT_FALSE(request.parseArguments(args, control, error))
            << (args.empty() ? "" : args.back());
        EXPECT_FALSE(error.empty());
    }
}

}  // namespace
}  // namespace nQVDRIVERSIM
}  // namespace nQUORVAMONITORD_18_5
