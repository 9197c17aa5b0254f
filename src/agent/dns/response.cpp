// Response encoding: the answer's bytes within the querier's size limit, or a
// bare SERVFAIL header when the answer cannot be encoded.

#include <algorithm>

#include "agent/dns/message.h"
#include "util/log.h"

namespace velarix::agent::dns {
namespace {

ldns_status encode(const ldns_pkt& msg, ldns_buffer& out) {
  ldns_buffer_clear(&out);
  return ldns_pkt2buffer_wire(&out, &msg);
}

// Shows the first `n` records of the answer list (the rest stay in the list).
void show_answers(ldns_pkt& msg, ldns_rr_list& answers, std::size_t n) {
  ldns_rr_list_set_rr_count(&answers, n);
  ldns_pkt_set_ancount(&msg, static_cast<std::uint16_t>(n));
}

}  // namespace

std::size_t max_response_size(const ldns_pkt& response) noexcept {
  if (!ldns_pkt_edns(&response)) return kMaxSizeWithoutEdns;
  return std::clamp<std::size_t>(ldns_pkt_edns_udp_size(&response), kMinEdnsPayload, kMaxIpv4UdpPayload);
}

ldns_status encode_within(ldns_pkt& response, std::size_t max_size, ldns_buffer& out) {
  ldns_status status = encode(response, out);
  if (status != LDNS_STATUS_OK || ldns_buffer_position(&out) <= max_size) return status;

  ldns_rr_list* answers = ldns_pkt_answer(&response);
  const std::size_t all = answers ? ldns_rr_list_rr_count(answers) : 0;
  const std::size_t full_size = ldns_buffer_position(&out);
  if (all == 0) return LDNS_STATUS_PACKET_OVERFLOW;

  // The size without answers, then as many answers as fit by their average
  // size, corrected downwards should compression make them unequal.
  ldns_pkt_set_tc(&response, true);
  show_answers(response, *answers, 0);
  status = encode(response, out);
  const std::size_t base_size = ldns_buffer_position(&out);
  std::size_t keep = 0;
  if (status == LDNS_STATUS_OK && base_size <= max_size) {
    const std::size_t per_record = (full_size - base_size + all - 1) / all;
    keep = std::min(all - 1, (max_size - base_size) / std::max<std::size_t>(per_record, 1));
    show_answers(response, *answers, keep);
    while ((status = encode(response, out)) == LDNS_STATUS_OK && ldns_buffer_position(&out) > max_size && keep > 0) {
      show_answers(response, *answers, --keep);
    }
  }
  // Free what was left out, whatever happened, so the message owns exactly what it shows.
  show_answers(response, *answers, all);
  while (ldns_rr_list_rr_count(answers) > keep) ldns_rr_free(ldns_rr_list_pop_rr(answers));
  ldns_pkt_set_ancount(&response, static_cast<std::uint16_t>(keep));
  if (status == LDNS_STATUS_OK && ldns_buffer_position(&out) > max_size) status = LDNS_STATUS_PACKET_OVERFLOW;
  return status;
}

ldns_status encode_fallback_servfail_response(std::uint16_t id, ldns_buffer& out) {
  ldns_buffer_clear(&out);
  Message header(ldns_pkt_new());
  if (!header) return LDNS_STATUS_MEM_ERR;
  ldns_pkt_set_id(header.get(), id);
  ldns_pkt_set_qr(header.get(), true);
  ldns_pkt_set_rcode(header.get(), LDNS_RCODE_SERVFAIL);
  const ldns_status status = encode(*header, out);
  if (status == LDNS_STATUS_OK && ldns_buffer_position(&out) > kMinEdnsPayload) return LDNS_STATUS_PACKET_OVERFLOW;
  return status;
}

Encoded encode_response(ldns_pkt& response, ldns_buffer& out) {
  const std::uint16_t id = ldns_pkt_id(&response);
  log::trace("Starting DNS response encoding for ID: {}", id);
  if (log::enabled(spdlog::level::debug)) {
    log::debug("sending response id={} response_code={}", id,
               static_cast<unsigned>(ldns_pkt_get_rcode(&response)) |
                   (ldns_pkt_edns(&response) ? unsigned{ldns_pkt_edns_extended_rcode(&response)} << 4 : 0u));
  }
  const std::size_t max_size = max_response_size(response);
  log::trace("setting response max size: {} for protocol: {}", max_size, "Udp");
  const ldns_status status = encode_within(response, max_size, out);
  if (status == LDNS_STATUS_OK) return Encoded::Answer;

  log::error("error encoding message error={}", ldns_get_errorstr_by_id(status));
  log::trace("Falling back to SERVFAIL response due to encoding error");
  const ldns_status fallback = encode_fallback_servfail_response(id, out);
  if (fallback == LDNS_STATUS_OK) return Encoded::Servfail;
  log::error("Failed to encode the SERVFAIL response: {}", ldns_get_errorstr_by_id(fallback));
  return Encoded::Nothing;
}

}  // namespace velarix::agent::dns
