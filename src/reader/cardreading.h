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
// port is left as it was. A reader whose port is lost and that can be known
// again (by its by-id name or USB serial number) is waited for instead, the
// link's observer told: the run goes on when the same device is back, and a
// stop ends the wait (the port then closed).
bool ReadCards(link::Link& link, const link::Addressee& to, bool twoWay,
               const std::function<QString()>& cardId, const std::function<bool()>& stop,
               const CardSink& decoded, const CardSink& done);

} // namespace reader
