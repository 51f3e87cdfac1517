// Start and stop of the bulk file dispatcher around the dispatch loop.
#pragma once

void startBulkDispatcher();
void stopBulkDispatcher();
