#pragma once

// A box of cards played to the reader over time: each card lies on the reader for a while,
// with the field empty before it, one after the other.
//
//   m.queue.Em("00BC614E", 300, 200).Em("0012D687", 300, 200);        // read-card, enroll
//   m.queue.Mifare(emu::MifareCard({1, 2, 3, 4}, emu::MifareSize::k1K)); // issue
//
// By the clock, not by poll: the tool's own pace decides how often it sees a card. The clock
// starts with the first command the reader answers, so a slow tool start loses no card. A
// MIFARE card is put into the field while it lies there and taken back, as written, when it
// leaves: a test reads what each card holds from `cards` afterwards.

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "mifare.h"

namespace emu {

struct ReaderModel;

struct QueuedCard
{
    std::string em;                   // the number "F" and "I" answer; empty: none
    std::optional<MifareCard> mifare; // in the field while on the reader
    int onMs = 1000;                  // time on the reader
    int gapMs = 500;                  // the field empty before it
    // From 0 on: the card leaves after answering this many commands instead of after onMs
    // (a card taken away in the middle of a write, at a place a test can name).
    int leaveAfterCommands = -1;
    // From 0 on: the card is gone for the read of block 0 that follows this many answered
    // ones (taken away once the tool has seen it and is done with it, by how it polls).
    int leaveAfterBlock0Reads = -1;
    // When it came onto the reader, by the clock; unset until then.
    std::chrono::steady_clock::time_point arrived{};
};

struct CardQueue
{
    CardQueue& Em(const std::string& number, int onMs = 1000, int gapMs = 500);
    CardQueue& Mifare(const MifareCard& card, int onMs = 1000, int gapMs = 500,
                      int leaveAfterCommands = -1);
    // A MIFARE card that leaves by its reads of block 0 (leaveAfterBlock0Reads).
    CardQueue& MifareUntilRead(const MifareCard& card, int block0Reads, int gapMs = 100);

    bool Finished() const { return next >= cards.size(); }
    // The card on the reader now, if any.
    const QueuedCard* OnReader() const { return onReader && !Finished() ? &cards[next] : nullptr; }

    std::vector<QueuedCard> cards;
    std::size_t next = 0;  // the card on the reader or the next to come
    bool onReader = false; // cards[next] lies on the reader
    bool started = false;
    std::chrono::steady_clock::time_point since; // when the present gap or stay began
    int answered = 0;                            // commands since the card came
    int block0Reads = 0;                         // of them, reads of block 0
};

// Moves the queue on to `now`; called for every command the reader hears, before it answers.
void AdvanceQueue(ReaderModel& m, const std::string& payload,
                  std::chrono::steady_clock::time_point now);

// A queue from text, a card a line: "em NUMBER [ON_MS [GAP_MS]]" or
// "mifare UID [1k|4k] [ON_MS [GAP_MS]]"; '#' starts a comment. NUMBER is the card's 1 to 16
// hexadecimal digits as read-card shows them, UID 8 or 14; either case. Times are whole
// milliseconds up to kMaxQueueMs. A MIFARE line without a size takes `size`. False with
// `error` naming the line.
inline constexpr int kMaxQueueMs = 24 * 60 * 60 * 1000;
bool ParseCardQueue(const std::string& text, CardQueue* queue, std::string* error,
                    MifareSize size = MifareSize::k4K);

} // namespace emu
