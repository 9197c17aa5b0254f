// Query handling: what the responder answers to one decoded DNS message.

#include <algorithm>
#include <array>
#include <cstdlib>
#include <string>

#include "agent/dns/message.h"
#include "util/log.h"

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

}  // namespace

std::expected<Decoded, ldns_status> decode_message(std::span<const std::uint8_t> payload) {
  // Record by record rather than ldns_wire2pkt, which leaks a TSIG record when
  // a message carries two and keeps only the last of several OPT records.
  const std::uint8_t* wire = payload.data();
  if (payload.size() < LDNS_HEADER_SIZE) return std::unexpected(LDNS_STATUS_WIRE_INCOMPLETE_HEADER);
  Decoded decoded{Message(ldns_pkt_new())};
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

  struct Section {
    ldns_pkt_section section;
    std::uint16_t count;
    ldns_status incomplete;
  } const sections[] = {
      {LDNS_SECTION_QUESTION, LDNS_QDCOUNT(wire), LDNS_STATUS_WIRE_INCOMPLETE_QUESTION},
      {LDNS_SECTION_ANSWER, LDNS_ANCOUNT(wire), LDNS_STATUS_WIRE_INCOMPLETE_ANSWER},
      {LDNS_SECTION_AUTHORITY, LDNS_NSCOUNT(wire), LDNS_STATUS_WIRE_INCOMPLETE_AUTHORITY},
      {LDNS_SECTION_ADDITIONAL, LDNS_ARCOUNT(wire), LDNS_STATUS_WIRE_INCOMPLETE_ADDITIONAL},
  };
  std::size_t pos = LDNS_HEADER_SIZE;
  for (const auto& s : sections) {
    for (std::uint16_t i = 0; i < s.count; ++i) {
      ldns_rr* rr = nullptr;
      const ldns_status status = ldns_wire2rr(&rr, wire, payload.size(), &pos, s.section);
      if (status != LDNS_STATUS_OK) {
        if (rr) ldns_rr_free(rr);
        return std::unexpected(status == LDNS_STATUS_PACKET_OVERFLOW ? s.incomplete : status);
      }
      if (s.section == LDNS_SECTION_QUESTION) {
        if (!ldns_pkt_push_rr(msg, LDNS_SECTION_QUESTION, rr)) {
          ldns_rr_free(rr);
          return std::unexpected(LDNS_STATUS_MEM_ERR);
        }
        continue;
      }
      // Only the question goes into the answer; of the rest, the OPT record counts.
      if (s.section == LDNS_SECTION_ADDITIONAL && ldns_rr_get_type(rr) == LDNS_RR_TYPE_OPT) {
        const std::uint32_t ttl = ldns_rr_ttl(rr);
        ++decoded.opt_records;
        decoded.edns = true;
        decoded.edns_payload = static_cast<std::uint16_t>(ldns_rr_get_class(rr));
        decoded.edns_version = static_cast<std::uint8_t>(ttl >> 16);
        decoded.dnssec_ok = (ttl & 0x8000) != 0;
      }
      ldns_rr_free(rr);
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
              std::uint16_t src_port) {
  auto decoded = decode_message(payload);
  if (!decoded) {
    log::error("Failed to decode DNS message: {}", ldns_get_errorstr_by_id(decoded.error()));
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
