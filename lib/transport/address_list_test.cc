#include "lib/transport/address_list.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <netinet/in.h>

namespace kelv {
namespace {

sockaddr_storage ipv4(const char* text, uint16_t port = 0) {
  sockaddr_storage address = {};
  auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
  v4->sin_family = AF_INET;
  v4->sin_port = htons(port);
  EXPECT_EQ(inet_pton(AF_INET, text, &v4->sin_addr), 1) << text;
  return address;
}

sockaddr_storage ipv6(const char* text, uint16_t port = 0) {
  sockaddr_storage address = {};
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
  v6->sin6_family = AF_INET6;
  v6->sin6_port = htons(port);
  EXPECT_EQ(inet_pton(AF_INET6, text, &v6->sin6_addr), 1) << text;
  return address;
}

TEST(AddressList, Ipv4LiteralResolvesToOneEntryWithoutNameServer) {
  AddressList list;
  ASSERT_TRUE(AddressList::Lookup("127.0.0.1", AF_UNSPEC, &list).ok());
  ASSERT_EQ(list.Size(), 1u);
  const sockaddr_storage unported = list.Choose(0, 0);
  EXPECT_EQ(unported.ss_family, AF_INET);
  EXPECT_EQ(AddressList::NumericName(unported), "127.0.0.1");
  // The stored entry carries port 0 and zero padding, so it equals a freshly built address.
  EXPECT_TRUE(AddressList::SameAddress(list.Choose(8080, 0), ipv4("127.0.0.1", 8080)));
}

TEST(AddressList, FailedLookupIsADnsErrorWithTheResolversTextAndAnEmptyList) {
  AddressList list;
  list.Append(ipv4("192.0.2.1"));
  // A family the resolver does not serve fails at once, with no name server involved.
  const Status status = AddressList::Lookup("127.0.0.1", AF_UNIX, &list);
  EXPECT_EQ(status.code, StatusCode::DNS_ERROR);
  EXPECT_EQ(status.message, gai_strerror(EAI_FAMILY));
  EXPECT_TRUE(list.Empty());
}

TEST(AddressList, ThreadIndexPicksAddressesInTurnWithThePortApplied) {
  AddressList list;
  list.Append(ipv4("192.0.2.1"));
  list.Append(ipv4("192.0.2.2"));
  list.Append(ipv6("2001:db8::3"));
  const sockaddr_storage expected[] = {ipv4("192.0.2.1", 443), ipv4("192.0.2.2", 443),
                                       ipv6("2001:db8::3", 443)};
  for (int index = 0; index < 7; ++index) {
    EXPECT_TRUE(AddressList::SameAddress(list.Choose(443, index), expected[index % 3]))
        << "index " << index;
  }
  // Taken as unsigned 64-bit: 2^64 - 1 is a multiple of 3, so -1 picks the first entry.
  EXPECT_TRUE(AddressList::SameAddress(list.Choose(80, -1), ipv4("192.0.2.1", 80)));

  AddressList single;
  single.Append(ipv6("::1"));
  EXPECT_TRUE(AddressList::SameAddress(single.Choose(8443, 12345), ipv6("::1", 8443)));
}

TEST(AddressList, EmptyListChoosesTheEmptyAddress) {
  const AddressList list;
  const sockaddr_storage first = list.Choose(80, 0);
  const sockaddr_storage second = list.Choose(443, 5);
  EXPECT_EQ(first.ss_family, AF_UNSPEC);
  EXPECT_EQ(AddressList::Length(first), 0u);
  EXPECT_TRUE(AddressList::SameAddress(first, second));
  EXPECT_EQ(AddressList::NumericName(first), "");
}

TEST(AddressList, ComparisonCoversPortFamilyAndEveryIpv6Field) {
  EXPECT_TRUE(AddressList::SameAddress(ipv4("127.0.0.1", 80), ipv4("127.0.0.1", 80)));
  EXPECT_FALSE(AddressList::SameAddress(ipv4("127.0.0.1", 80), ipv4("127.0.0.1", 81)));
  EXPECT_FALSE(AddressList::SameAddress(ipv4("127.0.0.1", 80), ipv6("::ffff:127.0.0.1", 80)));
  EXPECT_FALSE(AddressList::SameAddress(ipv6("::1", 80), ipv6("::1", 81)));

  sockaddr_storage flow = ipv6("fe80::1", 80);
  reinterpret_cast<sockaddr_in6*>(&flow)->sin6_flowinfo = htonl(7);
  EXPECT_FALSE(AddressList::SameAddress(flow, ipv6("fe80::1", 80)));
  sockaddr_storage scoped = ipv6("fe80::1", 80);
  reinterpret_cast<sockaddr_in6*>(&scoped)->sin6_scope_id = 1;
  EXPECT_FALSE(AddressList::SameAddress(scoped, ipv6("fe80::1", 80)));
}

TEST(AddressList, NumericNamesOfIpv6HaveNoBrackets) {
  for (const char* text : {"::1", "2001:db8::5", "::ffff:127.0.0.1"}) {
    EXPECT_EQ(AddressList::NumericName(ipv6(text, 443)), text);
  }
  EXPECT_EQ(AddressList::NumericName(ipv4("192.0.2.7", 443)), "192.0.2.7");
}

}  // namespace
}  // namespace kelv
