#include "SplitMergeFile.h"
