// The frame engine's state, as the engine and the pin that drives it see it.
#pragma once

enum EngineState : int {
    EngineStopped = 0,
    EnginePaused = 1,
    EngineRunning = 2,
};
