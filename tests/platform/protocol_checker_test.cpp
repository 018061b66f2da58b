// The protocol checker over a long run: what it keeps, and what it still
// reports about requests whose records it has dropped.
#include "protocol_checker.h"

#include <gtest/gtest.h>

#include "apr_pool_test.h"
#include "corvex/mrcp_message.h"

namespace {

using corvex::ProtocolChecker;

class ProtocolCheckerTest : public corvex_test::AprPoolTest {
 protected:
  // The plugin's final answer to a GET-PARAMS the host passed it.
  void Answer(mrcp_request_id id) {
    mrcp_message_t* request = mrcp_request_create(MRCP_VERSION_2, SYNTHESIZER_GET_PARAMS, id, pool_);
    mrcp_message_t* response = mrcp_response_create(request, pool_);
    response->start_line.request_state = MRCP_REQUEST_STATE_COMPLETE;
    checker_.Message(0, *response);
  }
  ProtocolChecker checker_;
};

// Memory does not grow with the requests of a run, and a message for a
// request that ended long before is still reported after its final answer,
// while one for a request never given is reported as such.
TEST_F(ProtocolCheckerTest, KeepsRecentEndsOnlyAndStillReportsAnswersToOldOnes) {
  for (mrcp_request_id id = 1; id <= 1000; ++id) {
    checker_.Forwarded(0, id, SYNTHESIZER_GET_PARAMS);
    Answer(id);
  }
  EXPECT_LE(checker_.Remembered(0), ProtocolChecker::kRememberedFinals + 1);
  EXPECT_TRUE(checker_.violations().empty());
  Answer(999);   // kept: it says how the request ended
  Answer(1);     // dropped long ago
  Answer(5000);  // never given
  const auto& found = checker_.violations();
  ASSERT_EQ(found.size(), 3u);
  EXPECT_EQ(found[0].rule, ProtocolChecker::kOneResponse);
  EXPECT_EQ(found[1].rule, ProtocolChecker::kNothingAfterFinal);
  EXPECT_EQ(found[1].request_id, 1u);
  EXPECT_EQ(found[2].rule, ProtocolChecker::kKnownRequest);
}

}  // namespace
