#pragma once

// The support library's public interface, one header per area.
#include "CvLibErrors.h"
#include "CvLibLanguages.h"
#include "CvLibRegistry.h"
#include "CvLibStrings.h"
#include "CvLibFiles.h"
#include "CvLibDrives.h"
#include "CvLibProcess.h"
#include "CvLibProgInfo.h"
#include "CvLibExceptions.h"
#include "CvLibChartCache.h"
#include "CvLibNavEnv.h"
#include "CvLibChartCheck.h"
#include "CvLibBackupIndex.h"
#include "CvLibSignature.h"
