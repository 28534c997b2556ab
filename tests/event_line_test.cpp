#include "output/event_line.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "fake_platform.h"

namespace qen {
namespace {

std::string lineFor(const EventPayload& payload) {
  auto line = formatEventLine(payload);
  EXPECT_TRUE(line.has_value());
  return line.value_or("");
}

TEST(EventLine, IsCompactJsonEndedByOneLineFeed) {
  auto line = lineFor({{"type", std::string("toggle")},
                       {"shortcut", std::string("Fn+Space")},
                       {"source", std::string("fn+space")}});
  EXPECT_EQ(line, "{\"type\":\"toggle\",\"shortcut\":\"Fn+Space\",\"source\":\"fn+space\"}\n");
  EXPECT_EQ(line.size(), 60u);
}

TEST(EventLine, BooleansAreBareLiterals) {
  auto line = lineFor({{"type", std::string("ready")},
                       {"shortcut", std::string("Fn")},
                       {"accessibilityTrusted", false}});
  EXPECT_NE(line.find("\"accessibilityTrusted\":false"), std::string::npos);
  EXPECT_TRUE(nlohmann::json::parse(line)["accessibilityTrusted"].is_boolean());
}

TEST(EventLine, EscapesQuoteReverseSolidusAndControlCharacters) {
  std::string message = "a \"quoted\" \\ line\nbreak\r\ttab\x01\x1F\x7F end";
  auto line = lineFor({{"type", std::string("error")}, {"message", message}});
  EXPECT_EQ(line.find('\n'), line.size() - 1);
  EXPECT_EQ(line.find('\r'), std::string::npos);
  EXPECT_NE(line.find("\\\"quoted\\\" \\\\ line\\nbreak\\r\\ttab\\u0001\\u001f"),
            std::string::npos);
  EXPECT_EQ(nlohmann::json::parse(line)["message"], message);
}

TEST(EventLine, KeepsTextOutsideAsciiAsUtf8) {
  std::string message = "Unsupported native shortcut: fn+\u00E4\U0001F600.";
  auto line = lineFor({{"type", std::string("error")}, {"message", message}});
  EXPECT_NE(line.find(message), std::string::npos);
}

TEST(EventLine, TextThatIsNotUtf8YieldsNoLine) {
  EXPECT_FALSE(formatEventLine({{"type", std::string("error")}, {"message", "bad \xFF"}}));
}

class Emit : public testing::Test {
 protected:
  void SetUp() override { fake::reset(); }
};

TEST_F(Emit, WritesEachLineInOneRequest) {
  std::string longMessage(120 * 1024, 'x');
  emitError(longMessage);
  EXPECT_EQ(fake::desktop().calls, std::vector<std::string>{"write"});
  auto events = fake::outputEvents();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0], (nlohmann::json{{"type", "error"}, {"message", longMessage}}));
}

TEST_F(Emit, DropsAPayloadThatCannotBeEncoded) {
  emit({{"type", std::string("error")}, {"message", std::string("\xC3")}});
  EXPECT_TRUE(fake::desktop().standardOutput.empty());
}

}  // namespace
}  // namespace qen
