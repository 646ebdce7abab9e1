#include "LibraryPanel.h"

// Placeholder frame until the panel lands.
LibraryPanel::Job::Job (std::function<void()> requestTask)
    : juce::ThreadPoolJob ("Tolvane request"), task (std::move (requestTask))
{
}
LibraryPanel::Job::~Job() = default;
juce::ThreadPoolJob::JobStatus LibraryPanel::Job::runJob()
{
    task();
    return jobHasFinished;
}

LibraryPanel::LibraryPanel (SoundReady soundReady) : onSoundReady (std::move (soundReady)) {}
LibraryPanel::~LibraryPanel() { pool.removeAllJobs (true, -1); }
void LibraryPanel::resized() {}
int LibraryPanel::getNumRows() { return (int) items.size(); }
void LibraryPanel::paintListBoxItem (int, juce::Graphics&, int, int, bool) {}
void LibraryPanel::selectedRowsChanged (int) {}
void LibraryPanel::timerCallback() {}
