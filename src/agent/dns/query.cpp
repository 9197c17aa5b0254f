// Query handling: what the responder answers to one decoded DNS message.

#include <algorithm>
#include <array>
#include <cstdlib>
#include <string>

#include "agent/dns/message.h"
#include "util/log.h"
#include "util/span.h"

namespace velarix::agent::dns {
namespace {

// An ldns text (allocated by ldns) as a string; only for log lines.
std::string take_text(char* s) {
  std::string out = s ? s : "?";
  std::free(s);
  return out;
}

// Op codes may take any 4-bit value; ldns's enumeration names only some.
bool named_opcode(unsigned op) {
  return op == LDNS_PACKET_QUERY || op == LDNS_PACKET_IQUERY || op == LDNS_PACKET_STATUS || op == LDNS_PACKET_NOTIFY ||
         op == LDNS_PACKET_UPDATE;
}

std::string opcode_text(unsigned op) {
  const ldns_lookup_table* t = ldns_lookup_by_id(ldns_opcodes, static_cast<int>(op));
  return t ? t->name : "OPCODE" + std::to_string(op);
}

std::string flags_text(const ldns_pkt& msg) {
  std::string out;
  const auto add = [&](bool set, const char* name) {
    if (!set) return;
    if (!out.empty()) out += ' ';
    out += name;
  };
  add(ldns_pkt_qr(&msg), "qr");
  add(ldns_pkt_aa(&msg), "aa");
  add(ldns_pkt_tc(&msg), "tc");
  add(ldns_pkt_rd(&msg), "rd");
  add(ldns_pkt_ra(&msg), "ra");
  add(ldns_pkt_ad(&msg), "ad");
  add(ldns_pkt_cd(&msg), "cd");
  return out;
}

void clear_answers(ldns_pkt& msg) {
  ldns_rr_list* list = ldns_pkt_answer(&msg);
  while (ldns_rr* rr = list ? ldns_rr_list_pop_rr(list) : nullptr) ldns_rr_free(rr);
  ldns_pkt_set_ancount(&msg, 0);
}

// Response codes above 15 keep their high bits in the OPT record.
void set_rcode(ldns_pkt& msg, std::uint16_t rcode) {
  ldns_pkt_set_rcode(&msg, static_cast<std::uint8_t>(rcode & 0x0F));
  if (ldns_pkt_edns(&msg)) ldns_pkt_set_edns_extended_rcode(&msg, static_cast<std::uint8_t>(rcode >> 4));
}

// Appends one A record per address, owned by the question's name as asked
// (letter case included). False when ldns could not allocate one.
bool push_a_records(ldns_pkt& msg, const ldns_rdf& owner, std::span<const network::Ipv4Addr> addrs) {
  for (const auto addr : addrs) {
    ldns_rr* rr = ldns_rr_new();
    if (!rr) return false;
    ldns_rdf* name = ldns_rdf_clone(&owner);
    const std::array<std::uint8_t, 4> octets{addr.octet(0), addr.octet(1), addr.octet(2), addr.octet(3)};
    ldns_rdf* data = ldns_rdf_new_frm_data(LDNS_RDF_TYPE_A, octets.size(), octets.data());
    if (name) ldns_rr_set_owner(rr, name);
    if (!name || !data || !ldns_rr_push_rdf(rr, data)) {
      if (data) ldns_rdf_deep_free(data);
      ldns_rr_free(rr);  // with its owner
      return false;
    }
    ldns_rr_set_type(rr, LDNS_RR_TYPE_A);
    ldns_rr_set_class(rr, LDNS_RR_CLASS_IN);
    ldns_rr_set_ttl(rr, kDnsRecordTtl);
    if (!ldns_pkt_push_rr(&msg, LDNS_SECTION_ANSWER, rr)) {
      ldns_rr_free(rr);
      return false;
    }
  }
  return true;
}

// Looks the question's name up without allocating: DNS names compare without
// regard to ASCII letter case.
DnsCatalog::Found find_name(const DnsCatalog& catalog, const ldns_rdf& name) {
  std::array<char, 256> lower;
  const std::size_t n = ldns_rdf_size(&name);
  if (n > lower.size()) return {};
  const auto* data = ldns_rdf_data(&name);
  std::transform(data, data + n, lower.begin(),
                 [](std::uint8_t c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c); });
  return catalog.find_wire(std::string_view(lower.data(), n));
}

// A name has at most 127 labels (255 bytes), and a real encoder writes at most
// one pointer per label it refers to.
constexpr std::size_t kMaxNamePointers = LDNS_MAX_DOMAINLEN / 2;
// What the names of one message may walk in all, labels and pointers
// together: no more steps than the message has bytes (all an uncompressed
// message could hold), and no more than four names of the greatest length,
// which is more than any query needs (a question, and the owners of an OPT
// record and a signature).
constexpr std::size_t kMaxNameSteps = 4 * (kMaxNamePointers + 1);

struct NameBudget {
  explicit NameBudget(std::size_t bytes) : steps_left(std::min(bytes, kMaxNameSteps)) {}
  std::size_t steps_left;
};

// Walks the name at `pos` the way ldns will, before ldns does: ldns follows up
// to 65,535 compression pointers, so a name that points at itself would cost a
// packet thread about 150 us. Refused: a pointer that does not point strictly
// before the labels it ends (so no walk can come back), more pointers than a
// name can have, a name longer than 255 bytes, and names that together walk
// more than the budget. On success `pos` is just past the name.
ldns_status check_name(std::span<const std::uint8_t> wire, std::size_t& pos, NameBudget& budget) {
  std::size_t at = pos;
  std::size_t run_start = pos;  // where the labels read since the last pointer began
  std::size_t end = 0;          // past the name where it was written: set at its first pointer
  std::size_t length = 1;       // bytes of the uncompressed name, its closing zero included
  std::size_t pointers = 0;
  for (;;) {
    if (at >= wire.size()) return LDNS_STATUS_PACKET_OVERFLOW;
    const std::uint8_t label = wire[at];
    if (label == 0) break;
    if (budget.steps_left == 0) return LDNS_STATUS_INVALID_POINTER;
    --budget.steps_left;
    if ((label & 0xC0) == 0xC0) {
      if (wire.size() - at < 2) return LDNS_STATUS_PACKET_OVERFLOW;
      const std::size_t target = (std::size_t{label & 0x3Fu} << 8) | wire[at + 1];
      if (target >= run_start || ++pointers > kMaxNamePointers) return LDNS_STATUS_INVALID_POINTER;
      if (end == 0) end = at + 2;
      at = run_start = target;
      continue;
    }
    if (label > LDNS_MAX_LABELLEN) return LDNS_STATUS_LABEL_OVERFLOW;  // the reserved label types
    length += label + 1u;
    if (length > LDNS_MAX_DOMAINLEN) return LDNS_STATUS_DOMAINNAME_OVERFLOW;
    at += label + 1u;
  }
  pos = end != 0 ? end : at + 1;
  return LDNS_STATUS_OK;
}

}  // namespace

std::expected<Decoded, ldns_status> decode_message(std::span<const std::uint8_t> payload) {
  const std::uint8_t* wire = payload.data();
  if (payload.size() < LDNS_HEADER_SIZE) return std::unexpected(LDNS_STATUS_WIRE_INCOMPLETE_HEADER);
  const std::uint16_t question_count = LDNS_QDCOUNT(wire);
  struct Section {
    std::uint16_t count;
    ldns_status incomplete;
  } const sections[] = {
      {question_count, LDNS_STATUS_WIRE_INCOMPLETE_QUESTION},
      {LDNS_ANCOUNT(wire), LDNS_STATUS_WIRE_INCOMPLETE_ANSWER},
      {LDNS_NSCOUNT(wire), LDNS_STATUS_WIRE_INCOMPLETE_AUTHORITY},
      {LDNS_ARCOUNT(wire), LDNS_STATUS_WIRE_INCOMPLETE_ADDITIONAL},
  };
  const auto be16 = [wire](std::size_t at) { return static_cast<std::uint16_t>((wire[at] << 8) | wire[at + 1]); };

  // First the whole message is framed here, every name checked, before ldns
  // reads any of it: a refused message costs no allocation and no ldns call.
  // Only the question goes into the answer; of the other records, the OPT
  // record's fields count, and their data (which may hold names) is skipped.
  Decoded decoded;
  NameBudget budget(payload.size());
  std::size_t pos = LDNS_HEADER_SIZE;
  for (const auto& s : sections) {
    const bool question = &s == &sections[0];
    const bool additional = &s == &sections[3];
    for (std::uint16_t i = 0; i < s.count; ++i) {
      if (const ldns_status status = check_name(payload, pos, budget); status != LDNS_STATUS_OK) {
        return std::unexpected(status == LDNS_STATUS_PACKET_OVERFLOW ? s.incomplete : status);
      }
      // Type and class, then for records TTL, data length and the data.
      if (payload.size() - pos < (question ? 4u : 10u)) return std::unexpected(s.incomplete);
      if (question) {
        pos += 4;
        continue;
      }
      const std::uint16_t type = be16(pos);
      const std::uint16_t cls = be16(pos + 2);
      const std::uint32_t ttl = (std::uint32_t{be16(pos + 4)} << 16) | be16(pos + 6);
      const std::size_t data_length = be16(pos + 8);
      pos += 10;
      if (payload.size() - pos < data_length) return std::unexpected(s.incomplete);
      pos += data_length;
      if (additional && type == LDNS_RR_TYPE_OPT) {
        ++decoded.opt_records;
        decoded.edns = true;
        decoded.edns_payload = cls;
        decoded.edns_version = static_cast<std::uint8_t>(ttl >> 16);
        decoded.dnssec_ok = (ttl & 0x8000) != 0;
      }
    }
  }

  decoded.message.reset(ldns_pkt_new());
  ldns_pkt* msg = decoded.message.get();
  if (!msg) return std::unexpected(LDNS_STATUS_MEM_ERR);
  ldns_pkt_set_id(msg, LDNS_ID_WIRE(wire));
  ldns_pkt_set_qr(msg, LDNS_QR_WIRE(wire));
  decoded.opcode = LDNS_OPCODE_WIRE(wire);
  if (named_opcode(decoded.opcode)) ldns_pkt_set_opcode(msg, static_cast<ldns_pkt_opcode>(decoded.opcode));
  ldns_pkt_set_aa(msg, LDNS_AA_WIRE(wire));
  ldns_pkt_set_tc(msg, LDNS_TC_WIRE(wire));
  ldns_pkt_set_rd(msg, LDNS_RD_WIRE(wire));
  ldns_pkt_set_ra(msg, LDNS_RA_WIRE(wire));
  ldns_pkt_set_ad(msg, LDNS_AD_WIRE(wire));
  ldns_pkt_set_cd(msg, LDNS_CD_WIRE(wire));
  ldns_pkt_set_rcode(msg, static_cast<std::uint8_t>(LDNS_RCODE_WIRE(wire)));

  // Then ldns decodes the questions, one record at a time (ldns_wire2pkt would
  // read every record, data included).
  pos = LDNS_HEADER_SIZE;
  for (std::uint16_t i = 0; i < question_count; ++i) {
    ldns_rr* rr = nullptr;
    const ldns_status status = ldns_wire2rr(&rr, wire, payload.size(), &pos, LDNS_SECTION_QUESTION);
    if (status != LDNS_STATUS_OK) {
      if (rr) ldns_rr_free(rr);
      return std::unexpected(status == LDNS_STATUS_PACKET_OVERFLOW ? LDNS_STATUS_WIRE_INCOMPLETE_QUESTION : status);
    }
    if (!ldns_pkt_push_rr(msg, LDNS_SECTION_QUESTION, rr)) {
      ldns_rr_free(rr);
      return std::unexpected(LDNS_STATUS_MEM_ERR);
    }
  }
  return decoded;
}

void answer_query(Decoded& query, const DnsCatalog& catalog) {
  ldns_pkt& msg = *query.message;
  if (query.edns) {
    // Our own OPT record: version 0, no options, the DO bit copied back.
    const auto payload = std::clamp<std::size_t>(query.edns_payload, kMinEdnsPayload, kMaxIpv4UdpPayload);
    ldns_pkt_set_edns_udp_size(&msg, static_cast<std::uint16_t>(payload));
    ldns_pkt_set_edns_version(&msg, 0);
    ldns_pkt_set_edns_z(&msg, 0);
    ldns_pkt_set_edns_do(&msg, query.dnssec_ok);
    ldns_pkt_set_edns_extended_rcode(&msg, 0);
  }

  // Not authoritative, recursion available; RD and CD are copied back.
  ldns_pkt_set_qr(&msg, true);
  ldns_pkt_set_aa(&msg, false);
  ldns_pkt_set_tc(&msg, false);
  ldns_pkt_set_ra(&msg, true);
  ldns_pkt_set_ad(&msg, false);

  if (query.opt_records > 1) return set_rcode(msg, LDNS_RCODE_FORMERR);
  if (query.edns && query.edns_version > 0) return set_rcode(msg, kRcodeBadVers);
  if (query.opcode != LDNS_PACKET_QUERY) return set_rcode(msg, LDNS_RCODE_NOTIMPL);
  if (ldns_pkt_qdcount(&msg) != 1) return set_rcode(msg, LDNS_RCODE_FORMERR);
  if (!ldns_pkt_rd(&msg)) return set_rcode(msg, LDNS_RCODE_REFUSED);

  const ldns_rr* question = ldns_rr_list_rr(ldns_pkt_question(&msg), 0);
  const ldns_rdf* name = question ? ldns_rr_owner(question) : nullptr;
  if (!name) return set_rcode(msg, LDNS_RCODE_FORMERR);
  const ldns_rr_type type = ldns_rr_get_type(question);
  // One class served; zone transfers are refused.
  if (ldns_rr_get_class(question) != LDNS_RR_CLASS_IN || type == LDNS_RR_TYPE_AXFR || type == LDNS_RR_TYPE_IXFR) {
    return set_rcode(msg, LDNS_RCODE_REFUSED);
  }

  const auto found = find_name(catalog, *name);
  switch (found.match) {
    case DnsCatalog::Match::OutsideZone: return set_rcode(msg, LDNS_RCODE_REFUSED);
    case DnsCatalog::Match::NoName: return set_rcode(msg, LDNS_RCODE_NXDOMAIN);
    case DnsCatalog::Match::NoRecords: return set_rcode(msg, LDNS_RCODE_NOERROR);
    case DnsCatalog::Match::Records: break;
  }
  if (type == LDNS_RR_TYPE_A || type == LDNS_RR_TYPE_ANY) {
    // No more than could ever fit: an A record takes at least 16 bytes (a
    // compressed owner name, type, class, TTL, length, address).
    const std::size_t most = max_response_size(msg) / 16;
    const std::span<const network::Ipv4Addr> addrs(*found.addrs);
    if (addrs.size() > most) ldns_pkt_set_tc(&msg, true);
    if (!push_a_records(msg, *name, addrs.first(std::min(addrs.size(), most)))) {
      clear_answers(msg);
      return set_rcode(msg, LDNS_RCODE_SERVFAIL);
    }
  }
  set_rcode(msg, LDNS_RCODE_NOERROR);
}

Reply respond(std::span<const std::uint8_t> payload, const DnsCatalog& catalog, network::Ipv4Addr src,
              std::uint16_t src_port, p2p::util::LogLimiter& decode_failures) {
  auto decoded = decode_message(payload);
  if (!decoded) {
    // Any app on the device can send these: one line per datagram would flood the log.
    p2p::util::limited_log(decode_failures, spdlog::level::err, "undecodable DNS messages",
                           "Failed to decode DNS message: {}", ldns_get_errorstr_by_id(decoded.error()));
    return {};
  }
  log::trace("Successfully decoded DNS message");
  ldns_pkt& msg = *decoded->message;
  if (ldns_pkt_qr(&msg)) {
    log::trace("Dropping DNS response message to prevent reflection attacks");
    return {};
  }
  log::trace("Processing DNS query message");
  if (log::enabled(spdlog::level::debug)) {
    const bool dnssec = decoded->edns && decoded->dnssec_ok;
    const auto op = opcode_text(decoded->opcode);
    log::trace("Parsed DNS message details id={} op_code={} message_type=Query dnssec={}", ldns_pkt_id(&msg), op,
               dnssec);
    log::debug("request:{} src:{}://{}#{} type:{} dnssec:{} {} qflags:{}", ldns_pkt_id(&msg), "UDP", src, src_port,
               "QUERY", dnssec, op, flags_text(msg));
    const ldns_rr_list* questions = ldns_pkt_question(&msg);
    for (std::size_t i = 0; i < ldns_rr_list_rr_count(questions); ++i) {
      const ldns_rr* q = ldns_rr_list_rr(questions, i);
      const auto qname = take_text(ldns_rdf2str(ldns_rr_owner(q)));
      const auto qtype = take_text(ldns_rr_type2str(ldns_rr_get_type(q)));
      const auto qclass = take_text(ldns_rr_class2str(ldns_rr_get_class(q)));
      log::trace("Processing DNS query query={} qtype={} class={}", qname, qtype, qclass);
      log::debug("query:{}:{}:{}", qname, qtype, qclass);
    }
  }
  log::trace("Handling DNS request with catalog");
  answer_query(*decoded, catalog);

  Reply reply;
  reply.handled = true;
  reply.id = ldns_pkt_id(&msg);
  // Encoding and the write (AgentDns::on_packet) are the sending of the response.
  log::Span span(spdlog::level::info, "send_response", log::field("id", ldns_pkt_id(&msg)));
  Buffer out(ldns_buffer_new(kInitialBufferCapacity));
  if (!out) return reply;
  switch (encode_response(msg, *out)) {
    case Encoded::Answer:
      // The answer repeats the op code, also one ldns has no name for.
      LDNS_OPCODE_SET(ldns_buffer_begin(out.get()), decoded->opcode);
      reply.answer = std::move(out);
      break;
    case Encoded::Servfail: reply.answer = std::move(out); break;
    case Encoded::Nothing: break;
  }
  return reply;
}

}  // namespace velarix::agent::dns
