#pragma once

class WindowHost;

// The two sample buttons: each fills its field with an example below the program
// folder and offers to open the example's folder.
namespace Samples {

// PushButton7_Click: the example file to split, in Text1.
void loadSplitSample(WindowHost& window);
// PushButton8_Click: the example manifest to join, in Text4.
void loadJoinSample(WindowHost& window);

} // namespace Samples
