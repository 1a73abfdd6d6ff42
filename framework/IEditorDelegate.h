// framework: the interface between the plug-in's parameters and an editor: it
// owns the parameter list and declares the notifications that flow between the
// plug-in, its editor and the host binding. The decoder engine reads parameter
// values through it.
#pragma once

#include "framework/IByteChunk.h"
#include "framework/IMidiMsg.h"
#include "framework/IParam.h"
#include "framework/ISysEx.h"
#include "framework/PlugTypes.h"
#include "framework/PtrList.h"

namespace plugfw {

// A key event from an editor.
struct IKeyPress {
    int mKey = 0;
    bool mShift = false;
    bool mControl = false;
    bool mAlt = false;
};

class IEditorDelegate {
public:
    // Creates nParams default parameters (negative counts as 0).
    explicit IEditorDelegate(int nParams);
    IEditorDelegate(const IEditorDelegate&) = delete;
    IEditorDelegate& operator=(const IEditorDelegate&) = delete;
    virtual ~IEditorDelegate();

    // Parameter idx, or null when idx is out of range. Any thread; the list never
    // changes after construction.
    [[nodiscard]] IParam* GetParam(int idx) const noexcept { return mParams.Get(idx); }
    [[nodiscard]] int NParams() const noexcept { return mParams.GetSize(); }

    // Editor window.
    virtual void* OpenWindow(void* /*parent*/) { return nullptr; }
    virtual void CloseWindow() {}
    virtual void OnParentWindowResize(int /*width*/, int /*height*/) {}
    virtual void OnUIOpen() {}
    virtual void OnUIClose() {}

    // Parameter notifications.
    virtual void OnParamChange(int paramIdx, EParamSource /*source*/, int /*sampleOffset*/ = -1)
    {
        OnParamChange(paramIdx);
    }
    virtual void OnParamChange(int /*paramIdx*/) {}
    virtual void OnParamChangeUI(int /*paramIdx*/, EParamSource /*source*/ = kUI) {}
    // For every parameter in index order: OnParamChange(i, source, -1), then
    // OnParamChangeUI(i, source).
    virtual void OnParamReset(EParamSource source);

    virtual void OnMidiMsgUI(const IMidiMsg& /*msg*/) {}
    virtual void OnSysexMsgUI(const ISysEx& /*msg*/) {}
    virtual bool OnMessage(int /*msgTag*/, int /*ctrlTag*/, int /*dataSize*/, const void* /*data*/) { return false; }
    // For every parameter in index order: SendParameterValueFromDelegate with its
    // normalised value.
    virtual void OnRestoreState();
    virtual bool OnKeyDown(const IKeyPress& /*key*/) { return false; }
    virtual bool OnKeyUp(const IKeyPress& /*key*/) { return false; }

    // Delegate to editor.
    virtual void SendControlValueFromDelegate(int /*ctrlTag*/, double /*normalizedValue*/) {}
    virtual void SendControlMsgFromDelegate(int /*ctrlTag*/, int /*msgTag*/, int /*dataSize*/ = 0,
                                            const void* /*data*/ = nullptr) {}
    virtual void SendArbitraryMsgFromDelegate(int /*msgTag*/, int /*dataSize*/ = 0, const void* /*data*/ = nullptr) {}
    virtual void SendMidiMsgFromDelegate(const IMidiMsg& msg) { OnMidiMsgUI(msg); }
    virtual void SendSysexMsgFromDelegate(const ISysEx& msg) { OnSysexMsgUI(msg); }
    virtual void SendParameterValueFromDelegate(int /*paramIdx*/, double /*value*/, bool /*normalized*/) {}

    // Editor to delegate.
    virtual void DirtyParametersFromUI() {}
    virtual void BeginInformHostOfParamChangeFromUI(int paramIdx) = 0;
    virtual void SendParameterValueFromUI(int paramIdx, double normalizedValue);
    virtual void EndInformHostOfParamChangeFromUI(int paramIdx) = 0;
    virtual bool EditorResizeFromUI(int /*viewWidth*/, int /*viewHeight*/, bool /*needsPlatformResize*/) { return false; }
    virtual void SendMidiMsgFromUI(const IMidiMsg& /*msg*/) {}
    virtual void SendSysexMsgFromUI(const ISysEx& /*msg*/) {}
    virtual void SendArbitraryMsgFromUI(int /*msgTag*/, int /*ctrlTag*/ = -1, int /*dataSize*/ = 0,
                                        const void* /*data*/ = nullptr) {}
    virtual void DeferMidiMsg(const IMidiMsg& /*msg*/) {}
    virtual void DeferSysexMsg(const ISysEx& /*msg*/) {}

    // One line of the plug-in's console output, without its newline. The default
    // prints it to standard output; a binding whose host keeps a log of its own
    // passes it there. Any thread except the audio thread, during construction
    // too (the bases are complete by then).
    virtual void WriteConsoleLine(const char* line);

    // Editor state, stored after the parameters by plug-ins that have one.
    virtual bool SerializeEditorState(IByteChunk& /*chunk*/) const { return true; }
    virtual int UnserializeEditorState(const IByteChunk& /*chunk*/, int startPos) { return startPos; }
    virtual void SetScreenScale(float /*scale*/) {}

protected:
    // Owned parameters, created with the delegate and freed with it.
    OwnedPtrList<IParam> mParams;
};

} // namespace plugfw
