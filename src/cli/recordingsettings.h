#pragma once

#include "results/storelocation.h"

#include <QString>

namespace rangefinder {

// Who and what a run is recorded as, from the options (--results, --station, --operator,
// --serial) and the environment (RANGEFINDER_RESULTS).
struct RecordingSettings
{
    StoreLocation store;  // Kind::None: the run is not recorded
    QString station;      // the host name unless given
    QString operatorName; // the login name unless given
    QString serial;       // empty: the USB adapter's serial number, else the port
};

// The store that runs and history use when --results is not given: RANGEFINDER_RESULTS, else
// the SQLite file under the user's data folder.
QString defaultStoreText();

} // namespace rangefinder
