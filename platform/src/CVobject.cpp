#include "CVobject.h"

CVobject::~CVobject() = default;
