#include "TolvaneEditor.h"

#include "library/SiteAddress.h"

#include <functional>
#include <iomanip>
#include <locale>
#include <new>
#include <optional>
#include <sstream>

namespace
{
const juce::Colour backgroundColour (0xff0b121bu);
const juce::Colour titleColour (0xff39c8eeu);
const juce::Colour statusColour (0xffb3cfdfu);

constexpr int editorWidth = 960;
constexpr int editorHeight = 820;
constexpr int refreshHz = 8;

constexpr double minSourceBpm = 1.0;
constexpr double maxSourceBpm = 400.0;

const char* const localSoundExtensions = "wav;aif;aiff;flac";

juce::String subtitleText() { return juce::String::fromUTF8 ("Brevant sound library \xc2\xb7 v0.2.1"); }

juce::String playingText() { return juce::String::fromUTF8 ("Playing\xe2\x80\xa6"); }

juce::String noteText()
{
    return "Tempo and pitch use resampling: both affect each other. No pitch-preserving stretch yet.\n"
           "Preview-only files cannot be dragged out. Original downloads require ownership.\n"
           "Session stays in memory for up to one hour. Reconnect when you reopen the editor.";
}

// What a default stream writes, independent of the user's locale: 120, 92.5, 123.457.
juce::String initialTempoText (double bpm)
{
    std::ostringstream out;
    out.imbue (std::locale::classic());
    out << bpm;
    return out.str();
}

juce::String hostTempoText (double bpm)
{
    std::ostringstream out;
    out.imbue (std::locale::classic());
    out << std::fixed << std::setprecision (1) << bpm;
    return "DAW: " + juce::String (out.str()) + " BPM";
}

bool isSingleLocalSound (const juce::StringArray& files)
{
    return files.size() == 1 && juce::File (files[0]).hasFileExtension (localSoundExtensions);
}

void openSitePage (const char* path) { juce::URL (juce::String (siteRootUrl) + path).launchInDefaultBrowser(); }

// True when the setting held another value: only then has the saved state changed.
template <typename Value> bool storeSetting (std::atomic<Value>& setting, Value value)
{
    return setting.exchange (value) != value;
}

// The slider's value, set before this handler exists, may reach it once from the message loop:
// that write-back comes from opening the editor, not from the user, and the host is not told of it.
// Until its first call the slider holds the value it was opened with; any other value is the user's.
template <typename Value>
std::function<void()> settingSliderHandler (juce::Slider& slider, std::atomic<Value>& setting,
                                            TolvaneProcessor& processor)
{
    return [&slider, &setting, &processor, opening = std::optional<double> (slider.getValue())]() mutable
    {
        const double value = slider.getValue();
        const bool writeBack = opening == value;
        opening.reset();

        if (storeSetting (setting, (Value) value) && ! writeBack)
            processor.reportSettingsChanged();
    };
}
} // namespace

TolvaneEditor::TolvaneEditor (TolvaneProcessor& p)
    : juce::AudioProcessorEditor (p),
      processorRef (p),
      dragButton ("Drag original file to DAW", &p),
      library (
          [this] (const juce::File& file, bool original)
          {
              const bool ok = loadSound (file, original);
              // The loader has posted stop-and-rewind; a preview is meant to be heard at once.
              if (ok && ! original)
                  processorRef.transportCommand.store (transportPlayOnce);
              return ok;
          })
{
    setSize (editorWidth, editorHeight);

    addAndMakeVisible (library);
    addAndMakeVisible (loadButton);
    addAndMakeVisible (playButton);
    addAndMakeVisible (stopButton);
    addAndMakeVisible (browseButton);
    addAndMakeVisible (accountButton);
    addAndMakeVisible (dragButton);
    addAndMakeVisible (syncToggle);
    addAndMakeVisible (bpmEditor);
    addAndMakeVisible (pitchSlider);
    addAndMakeVisible (gainSlider);
    addAndMakeVisible (playerStatusLabel);
    addAndMakeVisible (dawTempoLabel);
    addAndMakeVisible (bpmCaption);
    addAndMakeVisible (pitchCaption);
    addAndMakeVisible (gainCaption);

    bpmCaption.setText ("Source BPM (blank if unknown)", juce::dontSendNotification);
    pitchCaption.setText ("Pitch: semitones (changes speed)", juce::dontSendNotification);
    gainCaption.setText ("Preview volume", juce::dontSendNotification);

    bpmEditor.setInputRestrictions (7, "0123456789.");
    bpmEditor.setTextToShowWhenEmpty ("Unknown", juce::Colours::grey);

    // Nothing listens yet, so the initial text is not written back.
    if (const double bpm = processorRef.sourceBpm.load(); bpm > 0.0)
        bpmEditor.setText (initialTempoText (bpm), true);

    bpmEditor.onTextChange = [this]
    {
        const double value = bpmEditor.getText().getDoubleValue();
        if (storeSetting (processorRef.sourceBpm, value >= minSourceBpm && value <= maxSourceBpm ? value : 0.0))
            processorRef.reportSettingsChanged();
    };

    syncToggle.setToggleState (processorRef.matchDawTempo.load(), juce::dontSendNotification);
    syncToggle.onClick = [this]
    {
        if (storeSetting (processorRef.matchDawTempo, syncToggle.getToggleState()))
            processorRef.reportSettingsChanged();
    };

    // Values are set before the handlers exist, asynchronously: a value that the slider rounds
    // onto its interval is written back once the message loop runs.
    pitchSlider.setRange (-12.0, 12.0, 1.0);
    pitchSlider.setValue (processorRef.pitchSemitones.load(), juce::sendNotificationAsync);
    pitchSlider.onValueChange = settingSliderHandler (pitchSlider, processorRef.pitchSemitones, processorRef);

    gainSlider.setRange (0.0, 1.0, 0.01);
    gainSlider.setValue ((double) processorRef.gain.load(), juce::sendNotificationAsync);
    gainSlider.onValueChange = settingSliderHandler (gainSlider, processorRef.gain, processorRef);

    loadButton.onClick = [this] { chooseLocalFile(); };

    playButton.onClick = [this]
    {
        if (processorRef.loadedFile.existsAsFile())
            processorRef.transportCommand.store (transportPlayOnce);
        else
            playerStatusLabel.setText ("Load a sound first.", juce::dontSendNotification);
    };

    stopButton.onClick = [this] { processorRef.transportCommand.store (transportStopReset); };
    browseButton.onClick = [] { openSitePage ("sound-library-preview/"); };
    accountButton.onClick = [] { openSitePage ("my-account-2/"); };

    playerStatusLabel.setText ("Connect your account below or load a local sound.", juce::dontSendNotification);
    playerStatusLabel.setColour (juce::Label::textColourId, statusColour);

    startTimerHz (refreshHz);
}

TolvaneEditor::~TolvaneEditor() = default;

void TolvaneEditor::paint (juce::Graphics& g)
{
    g.fillAll (backgroundColour);

    g.setColour (titleColour);
    g.setFont (28.0f);
    g.drawText ("BREVANT TOLVANE", 24, 16, 500, 45, juce::Justification::left, true);

    g.setColour (juce::Colours::lightgrey);
    g.setFont (13.0f);
    g.drawText (subtitleText(), 25, 62, 800, 24, juce::Justification::left, true);

    g.setFont (12.0f);
    g.drawFittedText (noteText(), 24, 730, getWidth() - 48, 80, juce::Justification::topLeft, 4);
}

void TolvaneEditor::resized()
{
    browseButton.setBounds (24, 100, 220, 40);
    accountButton.setBounds (254, 100, 220, 40);
    loadButton.setBounds (484, 100, 250, 40);
    playButton.setBounds (24, 157, 100, 40);
    stopButton.setBounds (134, 157, 130, 40);
    dragButton.setBounds (280, 157, 454, 40);
    bpmCaption.setBounds (24, 215, 260, 24);
    bpmEditor.setBounds (24, 243, 180, 35);
    syncToggle.setBounds (235, 243, 240, 35);
    dawTempoLabel.setBounds (485, 243, 250, 35);
    pitchCaption.setBounds (24, 291, 330, 24);
    gainCaption.setBounds (400, 291, 330, 24);
    pitchSlider.setBounds (24, 320, 340, 40);
    gainSlider.setBounds (400, 320, 334, 40);
    playerStatusLabel.setBounds (24, 373, 710, 40);
    library.setBounds (24, 425, getWidth() - 48, 295);
}

void TolvaneEditor::timerCallback()
{
    const double bpm = processorRef.hostBpm.load();
    dawTempoLabel.setText (bpm > 0.0 ? hostTempoText (bpm) : juce::String ("DAW tempo unavailable"),
                           juce::dontSendNotification);

    dragButton.setEnabled (processorRef.loadedIsOriginal && processorRef.loadedFile.existsAsFile());

    playButton.setButtonText (processorRef.isPlaying.load() ? playingText() : juce::String ("Play once"));
}

bool TolvaneEditor::isInterestedInFileDrag (const juce::StringArray& files) { return isSingleLocalSound (files); }

void TolvaneEditor::filesDropped (const juce::StringArray& files, int, int)
{
    if (isSingleLocalSound (files))
        loadSound (juce::File (files[0]), true);
}

bool TolvaneEditor::loadSound (const juce::File& file, bool original)
{
    // Made up front: once memory has run out, building the text could fail too.
    const juce::String outOfMemoryText ("Not enough memory to load this sound.");
    juce::String status;

    try
    {
        status = processorRef.loadSoundFile (file, original);
    }
    catch (const std::bad_alloc&)
    {
        // The loader has left the processor as it was; all that is left is to say so.
        status = outOfMemoryText;
    }

    playerStatusLabel.setText (status, juce::dontSendNotification);

    if (! status.startsWith ("Loaded:"))
        return false;

    bpmEditor.clear();
    pitchSlider.setValue (0.0, juce::sendNotificationAsync);
    return true;
}

void TolvaneEditor::chooseLocalFile()
{
    chooser = std::make_unique<juce::FileChooser> ("Choose a downloaded sound", juce::File(),
                                                   "*.wav;*.aif;*.aiff;*.flac", true, false, nullptr);

    juce::Component::SafePointer<TolvaneEditor> safeThis (this);

    chooser->launchAsync (juce::FileBrowserComponent::openMode | juce::FileBrowserComponent::canSelectFiles,
                          [safeThis] (const juce::FileChooser& fc)
                          {
                              if (safeThis == nullptr)
                                  return;

                              const auto result = fc.getResult();

                              if (result.existsAsFile())
                                  safeThis->loadSound (result, true);
                          });
}
