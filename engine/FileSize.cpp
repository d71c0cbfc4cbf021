#include "FileSize.h"
