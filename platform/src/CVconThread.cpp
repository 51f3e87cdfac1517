#include "CVconThread.h"
