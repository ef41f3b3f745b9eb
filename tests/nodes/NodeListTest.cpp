#include <gtest/gtest.h>

#include <iterator>
#include <memory>
#include <random>
#include <string>

#include "nodes/NodeList.h"

using cv::nodes::NodeList;
using cv::nodes::NodeListParser;
using cv::nodes::ParseNodeList;
using cv::nodes::ReceiverRow;
using cv::nodes::Transcript;
using cv::nodes::TransmitterRow;

namespace {

// Each node's lines end with its MY_MAC line: a record is the text before a
// "MY_MAC", so the MAC value itself opens the following record.
std::u16string Tx(std::u16string ip, char16_t mc, std::u16string ch)
{
    return u"MY_IP=" + ip + u"\r\nHOSTNAME=ast-gateway" + ip.substr(ip.size() - 2) + u"\r\nMULTICAST_ON=" + mc +
        u"\r\nCH_SELECT=" + ch + u"\r\nIS_HOST=y\r\nMY_MAC=02:c7:00:00:00:01\r\n";
}

std::u16string Rx(std::u16string ip, char16_t mc, std::u16string ch, std::u16string id)
{
    return u"MY_IP=" + ip + u"\r\nHOSTNAME=ast-client" + id + u"\r\nMULTICAST_ON=" + mc + u"\r\nCH_SELECT_V=" + ch +
        u"\r\nIS_HOST=n\r\nMY_MAC=02:c7:00:00:00:02\r\n";
}

const std::u16string kHead = u"node_query --dump\r\n>>>>>>>>>>\r\n";
const std::u16string kTail = u"<<<<<<<<<<\r\n/ # ";

NodeList Parse(const std::u16string& text)
{
    Transcript t;
    t.append(text);
    auto list = ParseNodeList(t);
    EXPECT_TRUE(list.has_value());
    return list.value_or(NodeList{});
}

}  // namespace

TEST(NodeListParse, ShowsTransmittersNewestFirstAndReceiversInDumpOrderNumberedFromZero)
{
    const NodeList list = Parse(kHead + Tx(u"10.0.0.1", u'y', u"0001") + Rx(u"10.0.1.1", u'y', u"0001", u"R1") +
                                Tx(u"10.0.0.2", u'n', u"0002") + Rx(u"10.0.1.2", u'n', u"0002", u"R2") +
                                Tx(u"10.0.0.3", u'y', u"0003") + Rx(u"10.0.1.3", u'y', u"0003", u"R3") + kTail);

    EXPECT_EQ(list.transmitters,
              (std::vector<TransmitterRow>{
                  {u"10.0.0.3", u"y", u"0003"}, {u"10.0.0.2", u"n", u"0002"}, {u"10.0.0.1", u"y", u"0001"}}));
    EXPECT_EQ(list.receivers,
              (std::vector<ReceiverRow>{{u"10.0.1.1", u"y", u"0001", u"0", u"R1"},
                                        {u"10.0.1.2", u"n", u"0002", u"1", u"R2"},
                                        {u"10.0.1.3", u"y", u"0003", u"2", u"R3"}}));
    ASSERT_TRUE(list.last.has_value());
    EXPECT_EQ(list.last->address, u"10.0.1.3");
    EXPECT_TRUE(list.anyReceiver());
}

TEST(NodeListParse, GivesNoRowsUntilTheSlashAfterTheEndMarkerHasArrived)
{
    const std::u16string dump = kHead + Tx(u"10.0.0.1", u'y', u"0001") + kTail;
    const std::size_t slash = dump.find(u"<<<<<<<<<<\r\n/") + 12;
    Transcript t;
    NodeListParser parser;
    for (std::size_t i = 0; i < dump.size(); i += 7) {
        t.append(std::u16string_view(dump).substr(i, 7));
        const bool complete = t.size() > slash;
        EXPECT_EQ(ParseNodeList(t).has_value(), complete) << "after " << t.size();
        EXPECT_EQ(parser.parse(t) != nullptr, complete) << "after " << t.size();
    }
}

TEST(NodeListParse, NeverReadsTheTextAfterTheLastSeparator)
{
    // The last node's own MY_MAC closes it; keys after that are never read.
    const NodeList list =
        Parse(kHead + Tx(u"10.0.0.1", u'y', u"0001") + u"MY_IP=10.9.9.9\r\nHOSTNAME=ast-client99\r\n" + kTail);
    EXPECT_EQ(list.transmitters.size(), 1u);
    EXPECT_TRUE(list.receivers.empty());
    EXPECT_FALSE(list.anyReceiver());
}

TEST(NodeListParse, StopsAtARecordWithNeitherWord)
{
    const NodeList list = Parse(kHead + Rx(u"10.0.1.1", u'y', u"0001", u"A") + u"MY_IP=10.0.5.5\r\nMY_MAC=x\r\n" +
                                Rx(u"10.0.1.2", u'y', u"0001", u"B") + kTail);
    ASSERT_EQ(list.receivers.size(), 1u);
    EXPECT_EQ(list.receivers[0].hostnameId, u"A");
}

TEST(NodeListParse, StopsAtOnceWhenTheDumpHasNoSeparator)
{
    const NodeList list = Parse(kHead + u"MY_IP=1.2.3.4\r\ngateway\r\n" + kTail);
    EXPECT_TRUE(list.transmitters.empty());
    EXPECT_FALSE(list.last.has_value());
}

TEST(NodeListParse, TakesARecordWithBothWordsAsATransmitter)
{
    const NodeList list = Parse(kHead + u"MY_IP=10.0.0.7\r\nclient-of-gateway\r\nCH_SELECT=0007\r\nMY_MAC" + kTail);
    ASSERT_EQ(list.transmitters.size(), 1u);
    EXPECT_EQ(list.transmitters[0].channel, u"0007");
    EXPECT_TRUE(list.receivers.empty());
}

TEST(NodeListParse, TakesExactlyOneMulticastCharacterAndNoneWhenTheRecordEndsAfterTheKey)
{
    const NodeList list = Parse(kHead + u"gateway\r\nMY_IP=1.1.1.1\r\nMULTICAST_ON=yes\r\nMY_MAC" +
                                u"gateway\r\nMY_IP=1.1.1.2\r\nMULTICAST_ON=MY_MAC" + kTail);
    ASSERT_EQ(list.transmitters.size(), 2u);
    EXPECT_EQ(list.transmitters[1].multicast, u"y");
    EXPECT_EQ(list.transmitters[0].multicast, u"");
}

TEST(NodeListParse, LeavesAValueEmptyWhenItsKeyIsMissingOrItsLineIsCutByTheRecordEnd)
{
    const NodeList list =
        Parse(kHead + u"=aa\r\nclient7\r\nCH_SELECT_V=0003MY_MAC" + u"=bb\r\nclient8" + u"MY_MAC" + kTail);
    ASSERT_EQ(list.receivers.size(), 2u);
    EXPECT_EQ(list.receivers[0].address, u"");  // no MY_IP= key
    EXPECT_EQ(list.receivers[0].multicast, u"");  // no MULTICAST_ON= key
    EXPECT_EQ(list.receivers[0].hostnameId, u"7");
    EXPECT_EQ(list.receivers[0].channel, u"");  // line ends in the next record
    EXPECT_EQ(list.receivers[1].hostnameId, u"");  // record ends before CR LF
}

TEST(NodeListParse, StartsReadingAtTheFirstNodeQuery)
{
    const NodeList list =
        Parse(u"gateway MY_MAC old text MY_MAC\r\n" + kHead + Rx(u"10.0.1.1", u'n', u"0004", u"X") + kTail);
    EXPECT_TRUE(list.transmitters.empty());
    ASSERT_EQ(list.receivers.size(), 1u);
    EXPECT_EQ(list.receivers[0].address, u"10.0.1.1");
}

TEST(NodeListParser, ReusesItsResultUntilANewRecordIsClosed)
{
    Transcript t;
    NodeListParser parser;
    t.append(kHead + Rx(u"10.0.1.1", u'n', u"0004", u"X") + kTail);
    const auto first = parser.parse(t);
    ASSERT_TRUE(first);
    t.append(u"\r\n/ # MY_IP=10.0.1.2 client");  // after the last separator: no change
    EXPECT_EQ(parser.parse(t), first);
    t.append(u"\r\nMY_MAC");  // closes a record: parsed again
    const auto second = parser.parse(t);
    EXPECT_NE(second, first);
    EXPECT_EQ(*second, *ParseNodeList(t));
    EXPECT_EQ(second->receivers.size(), 2u);
}

TEST(NodeListParser, ParsesAgainAfterTheTranscriptIsEmptiedAndRefilled)
{
    Transcript t;
    NodeListParser parser;
    t.append(kHead + Rx(u"10.0.1.1", u'n', u"0004", u"AB") + kTail);
    const auto first = parser.parse(t);
    t.clear();
    t.append(kHead + Rx(u"10.0.1.9", u'n', u"0004", u"CD") + kTail);  // same length
    const auto second = parser.parse(t);
    ASSERT_TRUE(second);
    EXPECT_EQ(second->receivers.at(0).address, u"10.0.1.9");
}

namespace {

// Pieces of dump vocabulary, whole and broken, so that random texts hold
// records cut anywhere, keys straddling arrivals and the record end, and
// the start and end markers in odd places.
std::u16string RandomDumpText(std::mt19937& rng, int fragments)
{
    static const std::u16string kFragments[] = {
        u"MY_MAC",
        u"MY_MA",
        u"C",
        u"MY_IP=",
        u"MY_",
        u"IP=",
        u"gateway",
        u"gate",
        u"way",
        u"client",
        u"MULTICAST_ON=",
        u"CH_SELECT=",
        u"CH_SELECT_V=",
        u"\r\n",
        u"\r",
        u"\n",
        u"node_query",
        u"node_",
        u"<<<<<<<<<<\r\n/",
        u"<<<<<",
        u"10.0.0.1",
        u"y",
        u"n",
        u"0003",
        u"=",
        u" ",
        u"/ # ",
        u"flood flood flood\r\n",
    };
    std::uniform_int_distribution<std::size_t> pick(0, std::size(kFragments) - 1);
    std::u16string s;
    for (int i = 0; i < fragments; ++i)
        s += kFragments[pick(rng)];
    return s;
}

}  // namespace

TEST(NodeListParser, AgreesWithAFreshParseAtEveryArrivalOfRandomDumpsAndPieces)
{
    std::mt19937 rng(20261208);
    for (int round = 0; round < 400; ++round) {
        Transcript t;
        NodeListParser parser;
        std::uniform_int_distribution<int> fragments(0, 120);
        const std::u16string text =
            (round % 3 == 0 ? kHead : u"") + RandomDumpText(rng, fragments(rng)) + (round % 2 == 0 ? kTail : u"");
        std::uniform_int_distribution<std::size_t> pieceSize(1, round % 5 == 0 ? 400 : 12);
        for (std::size_t at = 0; at < text.size();) {
            const std::size_t n = pieceSize(rng);
            t.append(std::u16string_view(text).substr(at, n));
            at += n;
            const auto cached = parser.parse(t);
            const auto fresh = ParseNodeList(t);
            ASSERT_EQ(cached != nullptr, fresh.has_value()) << "round " << round << " at " << t.size();
            if (cached) {
                ASSERT_EQ(*cached, *fresh) << "round " << round << " at " << t.size();
            }
            // Equal pointers with equal content is all the window relies
            // on, and the comparison above covers it.
            if (round % 7 == 0 && at < text.size() && n % 5 == 0)
                t.clear();  // the next operation
        }
    }
}

TEST(NodeListParser, ReadsADumpBehindMegabytesOfFloodInSmallArrivals)
{
    // A misbehaving endpoint floods before its answer: the first record is
    // then megabytes long. The rows must come out as from a clean dump.
    std::u16string flood;
    while (flood.size() < (std::size_t{2} << 20))
        flood += u"flood flood flood flood flood\r\n";
    const std::u16string dump =
        kHead + flood + Tx(u"10.0.0.1", u'y', u"0001") + Rx(u"10.0.1.1", u'n', u"0002", u"R1") + kTail;
    Transcript t;
    NodeListParser parser;
    std::shared_ptr<const NodeList> list;
    for (std::size_t at = 0; at < dump.size(); at += 1024) {
        t.append(std::u16string_view(dump).substr(at, 1024));
        list = parser.parse(t);
    }
    ASSERT_TRUE(list);
    EXPECT_EQ(*list, *ParseNodeList(t));
    ASSERT_EQ(list->transmitters.size(), 1u);
    EXPECT_EQ(list->transmitters[0].address, u"10.0.0.1");
    ASSERT_EQ(list->receivers.size(), 1u);
    EXPECT_EQ(list->receivers[0].hostnameId, u"R1");
}
