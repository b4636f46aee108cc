#include "QueueMessage.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace {

TEST(QueueMessage, TextMessageKeepsItsTextAndAnEmptyDocument)
{
    std::string text = "{\"a\":1}";
    BaseSession s{nullptr, 2, 17};
    auto msg = std::make_shared<rrm::QueueMessage>(std::move(text), s);
    EXPECT_TRUE(text.empty());
    EXPECT_STREQ("{\"a\":1}", msg->get_text());
    EXPECT_TRUE(msg->json.is_null());
    EXPECT_EQ(2, msg->session.tsi);
    EXPECT_EQ(17u, msg->session.id);
}

TEST(QueueMessage, TextIsNeverParsed)
{
    auto msg = std::make_shared<rrm::QueueMessage>(std::string("not json"), null_session);
    EXPECT_STREQ("not json", msg->get_text());
    EXPECT_TRUE(msg->json.is_null());
}

TEST(QueueMessage, DocumentMessageWritesItsCompactForm)
{
    rrm::JsonReader doc("{ \"a\" : 1 ,\n \"b\": [true, null] }");
    auto msg = std::make_shared<rrm::QueueMessage>(std::move(doc), null_session);
    EXPECT_TRUE(doc.is_null());  // moved in
    EXPECT_STREQ("{\"a\":1,\"b\":[true,null]}", msg->get_text());
    EXPECT_EQ(1, msg->json.get_int("a"));
    EXPECT_TRUE(msg->text.empty());
}

TEST(QueueMessage, EmptyDocumentOrEmptyTextReadsNull)
{
    auto from_empty_reader =
        std::make_shared<rrm::QueueMessage>(rrm::JsonReader(""), null_session);
    EXPECT_STREQ("null", from_empty_reader->get_text());
    auto from_empty_text = std::make_shared<rrm::QueueMessage>(std::string(), null_session);
    EXPECT_STREQ("null", from_empty_text->get_text());
}

}  // namespace
