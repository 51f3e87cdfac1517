#include "CVioFile.h"
