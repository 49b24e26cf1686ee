#pragma once

// Sets the fixed GL state for the whole run; called once, after the
// full-screen mode has been entered.
void initRenderState();
