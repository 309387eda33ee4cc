#pragma once

// Card reading as a loop over the link: one poll cycle at a time, until a stop
// is asked for or the reader stops answering.

#include <QString>

#include <functional>

#include "carddecode.h"
#include "link/commandlink.h"
#include "link/link.h"

namespace reader {

using CardSink = std::function<void(const CardShown&)>;

// One cycle: 80 passes of the front end's events paced to a millisecond each,
// the poll ("F", or "I" two-way), the decode (handed to `decoded` at once), and
// for two-way answers that call for it "J" between two 30 ms pauses. None when
// the poll went unanswered.
std::optional<CardShown> CardCycle(link::Link& link, const link::Addressee& to, bool twoWay,
                                   const QString& cardId, const CardSink& decoded);

// Cycles until `stop` holds at the start of one, or a poll goes unanswered;
// each answer goes to `decoded` as it is decoded and to `done` once its cycle
// has ended. True when stopped, false when the reader stopped answering. The
// port is left as it was.
bool ReadCards(link::Link& link, const link::Addressee& to, bool twoWay,
               const std::function<QString()>& cardId, const std::function<bool()>& stop,
               const CardSink& decoded, const CardSink& done);

} // namespace reader
