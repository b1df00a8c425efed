// How long a program waits for the audio system to answer before it gives
// up. The system answers in milliseconds; one that is hung must not hang the
// caller with it.
#pragma once

constexpr unsigned kAnswerSeconds = 10;
