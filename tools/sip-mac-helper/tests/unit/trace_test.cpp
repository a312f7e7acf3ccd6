// Trace lines on stderr: one call, one line, whatever the values hold.
#include "bridge/trace.h"

#include <gtest/gtest.h>

namespace tavirel::bridge {
namespace {

TEST(Trace, ALineBreakFromARequestStaysInsideItsLine) {
  testing::internal::CaptureStderr();
  writeDtmfLog("stage=helper_invalid_payload requestId=a\n[DTMF_TRACE] stage=helper_send_success\r");
  writeDebugLog("stage=addresses_ready addressCount=1");
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "[DTMF_TRACE] stage=helper_invalid_payload requestId=a\\n[DTMF_TRACE] stage=helper_send_success\\r\n"
            "[CONF_INVITE_TRACE] stage=addresses_ready addressCount=1\n");
}

}  // namespace
}  // namespace tavirel::bridge
