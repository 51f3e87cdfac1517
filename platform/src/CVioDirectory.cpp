#include "CVioDirectory.h"
