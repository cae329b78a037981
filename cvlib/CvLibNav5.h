#pragma once

// The support library's public interface, one header per area.
#include "CvLibLanguages.h"
