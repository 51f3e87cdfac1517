#include "CVFIbulk.h"

#include "CVFIresources.h"
#include "CVsysEventLogInterface.h"

// The bulk thread itself is not part of this build yet: an enabled dispatcher starts nothing.
void startBulkDispatcher() {
    if (!g_corfiValues.bulkEnable) {
        CVsysEventLogInterface::GetInstance(__LINE__, __FILE__)
            ->info("Bulk Processing is disabled", __LINE__, __FILE__);
    }
}

void stopBulkDispatcher() {}
