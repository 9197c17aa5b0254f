#include "peer/replay_window.h"

namespace velarix::p2p {

namespace {

constexpr std::uint64_t kGenerationBits = 5;
constexpr std::uint64_t kGenerationMask = (1u << kGenerationBits) - 1;
constexpr std::uint64_t kBlockMask = (std::uint64_t{1} << 27) - 1;

std::uint64_t read_u64(const std::uint8_t* p) noexcept {
  std::uint64_t v = 0;
  for (int i = 0; i < 8; ++i) v = (v << 8) | p[i];
  return v;
}

std::uint64_t pack(std::uint64_t generation, std::uint64_t block, std::uint64_t bits) noexcept {
  return ((generation & kGenerationMask) << 59) | ((block & kBlockMask) << 32) | (bits & 0xFFFFFFFFu);
}

void raise_to(std::atomic<std::uint64_t>& cell, std::uint64_t value) noexcept {
  std::uint64_t cur = cell.load(std::memory_order_relaxed);
  while (cur < value && !cell.compare_exchange_weak(cur, value, std::memory_order_relaxed)) {
  }
}

}  // namespace

ReplayWindow::Slot* ReplayWindow::find(std::uint64_t stream) noexcept {
  for (auto& slot : slots_) {
    if (slot.stream.load(std::memory_order_acquire) == stream) return &slot;
  }
  return nullptr;
}

ReplayWindow::Mark ReplayWindow::mark(Slot& slot, std::uint64_t generation, std::uint64_t counter) noexcept {
  const std::uint64_t block = (counter / kBitsPerWord) & kBlockMask;
  const std::uint64_t bit = std::uint64_t{1} << (counter % kBitsPerWord);
  // Blocks more than kWords behind the highest one have lost their word: too old to tell.
  if (block + kWords <= slot.top.load(std::memory_order_acquire)) return Mark::Replayed;
  auto& word = slot.words[block % kWords];
  std::uint64_t w = word.load(std::memory_order_acquire);
  for (;;) {
    std::uint64_t next;
    if ((w >> 59) != (generation & kGenerationMask)) {
      // Left from an earlier stream of this slot, unless the slot was given to another stream
      // while this check ran.
      if (slot.generation.load(std::memory_order_acquire) != generation) return Mark::Reassigned;
      next = pack(generation, block, bit);
    } else {
      const std::uint64_t w_block = (w >> 32) & kBlockMask;
      if (w_block == block) {
        if ((w & bit) != 0) return Mark::Replayed;
        next = w | bit;
      } else if (w_block < block) {
        next = pack(generation, block, bit);  // the window slides on; older counters fall out
      } else {
        return Mark::Replayed;  // behind the window: cannot tell, so refused
      }
    }
    if (word.compare_exchange_weak(w, next, std::memory_order_acq_rel, std::memory_order_acquire)) {
      raise_to(slot.top, block);
      return Mark::Accepted;
    }
  }
}

ReplayWindow::Verdict ReplayWindow::check_time(std::span<const std::uint8_t, kNonceSize> nonce, std::uint64_t now_us,
                                               std::uint64_t max_age_us) noexcept {
  const std::uint64_t time = read_u64(nonce.data());
  const std::uint64_t stream = read_u64(nonce.data() + 8);
  if (time < now_us && now_us - time > max_age_us) return Verdict::TooOld;
  if (time > now_us && time - now_us > max_age_us) return Verdict::TooNew;
  if (stream == 0) return Verdict::TooOld;  // never drawn by a sender; stands for a free slot
  return Verdict::Accepted;
}

ReplayWindow::Verdict ReplayWindow::check(std::span<const std::uint8_t, kNonceSize> nonce, std::uint64_t now_us,
                                          std::uint64_t max_age_us) noexcept {
  if (const auto verdict = check_time(nonce, now_us, max_age_us); verdict != Verdict::Accepted) return verdict;
  const std::uint64_t time = read_u64(nonce.data());
  const std::uint64_t stream = read_u64(nonce.data() + 8);
  const std::uint64_t counter = read_u64(nonce.data() + 16);

  for (int attempt = 0; attempt < 4; ++attempt) {
    Slot* slot = find(stream);
    std::uint64_t generation = 0;
    if (slot != nullptr) {
      generation = slot->generation.load(std::memory_order_acquire);
      if (slot->stream.load(std::memory_order_acquire) != stream) continue;  // reassigned meanwhile
    } else {
      std::lock_guard lock(assign_);
      slot = find(stream);
      if (slot == nullptr) {
        // A new stream: it must be later than all that was forgotten.
        if (time <= floor_) return Verdict::TooOld;
        Slot* victim = &slots_[0];
        for (auto& s : slots_) {
          if (s.stream.load(std::memory_order_relaxed) == 0) {
            victim = &s;
            break;
          }
          if (s.latest.load(std::memory_order_relaxed) < victim->latest.load(std::memory_order_relaxed)) victim = &s;
        }
        if (victim->stream.load(std::memory_order_relaxed) != 0) {
          const std::uint64_t forgotten = victim->latest.load(std::memory_order_relaxed);
          if (forgotten > floor_) floor_ = forgotten;
        }
        victim->stream.store(0, std::memory_order_release);
        generation = victim->generation.load(std::memory_order_relaxed) + 1;
        victim->generation.store(generation, std::memory_order_release);
        for (auto& w : victim->words) w.store(pack(generation, 0, 0), std::memory_order_relaxed);
        victim->top.store(0, std::memory_order_relaxed);
        victim->latest.store(time, std::memory_order_relaxed);
        victim->stream.store(stream, std::memory_order_release);
        slot = victim;
      } else {
        generation = slot->generation.load(std::memory_order_acquire);
      }
    }
    switch (mark(*slot, generation, counter)) {
      case Mark::Accepted:
        raise_to(slot->latest, time);
        return Verdict::Accepted;
      case Mark::Replayed:
        return Verdict::Replayed;
      case Mark::Reassigned:
        continue;
    }
  }
  return Verdict::TooOld;  // the slots churn faster than one check: refuse rather than guess
}

}  // namespace velarix::p2p
