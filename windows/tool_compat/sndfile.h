// The command-line tool includes <sndfile.h>; Windows builds read WAV only.
#pragma once
#include "wav_sndfile.h"
