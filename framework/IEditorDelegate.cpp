// framework: editor delegate.
#include "framework/IEditorDelegate.h"

#include <cstdio>
#include <memory>
#include <new>

namespace plugfw {

IEditorDelegate::IEditorDelegate(int nParams)
{
    for (int i = 0; i < nParams; ++i) {
        auto param = std::make_unique<IParam>();
        if (!mParams.Add(param.get())) {
            throw std::bad_alloc();
        }
        param.release();
    }
}

IEditorDelegate::~IEditorDelegate() = default;

void IEditorDelegate::OnParamReset(EParamSource source)
{
    for (int i = 0; i < NParams(); ++i) {
        OnParamChange(i, source, -1);
        OnParamChangeUI(i, source);
    }
}

void IEditorDelegate::OnRestoreState()
{
    for (int i = 0; i < NParams(); ++i) {
        SendParameterValueFromDelegate(i, GetParam(i)->GetNormalized(), true);
    }
}

void IEditorDelegate::SendParameterValueFromUI(int paramIdx, double normalizedValue)
{
    if (IParam* param = GetParam(paramIdx)) {
        param->SetNormalized(normalizedValue);
        OnParamChangeUI(paramIdx, kUI);
    }
}

void IEditorDelegate::WriteConsoleLine(const char* line)
{
    // One call, so lines from several threads never interleave.
    std::printf("%s\n", line ? line : "");
    std::fflush(stdout);
}

} // namespace plugfw
