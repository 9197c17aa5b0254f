#pragma once
// The responder's DNS messages: decoding a query, turning it into its answer
// from the catalog, and encoding the answer within its size limit. The wire
// format is ldns's; this file only decides what the answer says.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <span>

// ldns's headers define bool, true and false as macros unless stdbool.h came first.
#include <stdbool.h>  // NOLINT(modernize-deprecated-headers)

#include <ldns/ldns.h>

#include "agent/dns/dns.h"

namespace velarix::agent::dns {

struct LdnsFree {
  void operator()(ldns_pkt* p) const noexcept { ldns_pkt_free(p); }
  void operator()(ldns_buffer* b) const noexcept { ldns_buffer_free(b); }
};
using Message = std::unique_ptr<ldns_pkt, LdnsFree>;
using Buffer = std::unique_ptr<ldns_buffer, LdnsFree>;

// Answers to queries without EDNS may be this large (not 512: nothing but the
// local stub reads them, and there is no TCP to fall back to).
inline constexpr std::size_t kMaxSizeWithoutEdns = 4096;
// The smallest payload size an EDNS requester may be held to.
inline constexpr std::size_t kMinEdnsPayload = 512;
inline constexpr std::size_t kInitialBufferCapacity = 512;

// Extended response code for an EDNS version we do not speak.
inline constexpr std::uint16_t kRcodeBadVers = 16;

// A query as far as answering needs it.
struct Decoded {
  Message message;  // header and question section; the other sections are framed, not decoded
  unsigned opcode = 0;  // any 4-bit value, also those ldns's enumeration does not name
  bool edns = false;    // an OPT record came
  std::size_t opt_records = 0;
  std::uint16_t edns_payload = 0;
  std::uint8_t edns_version = 0;
  bool dnssec_ok = false;
};

// Decodes a datagram's payload, from its first byte, as a DNS message. Every
// name is checked before ldns reads it: compression pointers must point
// strictly backwards, a name has at most 127 of them, and the names of one
// message walk no more labels and pointers in all than it has bytes, nor more
// than 512: a hostile message costs no more than an ordinary query. Records
// after the question are framed (names, lengths) but not decoded.
std::expected<Decoded, ldns_status> decode_message(std::span<const std::uint8_t> payload);

// Turns a decoded query into its answer, in place: flags, response code, the
// question kept, answer records and our own OPT record added.
void answer_query(Decoded& query, const DnsCatalog& catalog);

// The most bytes the answer may take on the wire.
std::size_t max_response_size(const ldns_pkt& response) noexcept;

// Encodes `response` into `out` (cleared first) in at most `max_size` bytes.
// Answer records that do not fit are left out, from the last, and the
// truncation flag is set. Fails when even no answer record fits.
ldns_status encode_within(ldns_pkt& response, std::size_t max_size, ldns_buffer& out);

// The bare 12-byte SERVFAIL header for `id`, sent when an answer cannot be
// encoded.
ldns_status encode_fallback_servfail_response(std::uint16_t id, ldns_buffer& out);

enum class Encoded {
  Answer,    // the response, within its limit
  Servfail,  // the response did not encode: the bare SERVFAIL header instead
  Nothing,   // not even that: nothing is to be sent
};
// Encodes the answer within its limit, or else the SERVFAIL header.
Encoded encode_response(ldns_pkt& response, ldns_buffer& out);

struct Reply {
  bool handled = false;  // a query went through the catalog (else: undecodable, or a response)
  Buffer answer;         // the answer's bytes, from 0 to the buffer's position; null: nothing to send
  std::uint16_t id = 0;  // the answer's ID
};

// The whole of query handling short of the write; `src` and `src_port` (the
// querier) are only logged, and the log lines about undecodable datagrams go
// through `decode_failures`.
Reply respond(std::span<const std::uint8_t> payload, const DnsCatalog& catalog, network::Ipv4Addr src,
              std::uint16_t src_port, p2p::util::LogLimiter& decode_failures);

}  // namespace velarix::agent::dns
