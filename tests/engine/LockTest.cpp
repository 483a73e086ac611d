#include "EngineFixture.h"
