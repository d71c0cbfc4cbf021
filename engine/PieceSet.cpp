#include "PieceSet.h"
