// BTranslationUtils' menu of formats: the one part of the translation kit
// that needs the interface kit's menus and the application kit's messages,
// built apart from the rest so that the translation kit itself needs only
// the support kit and BBitmap.
#include <Menu.h>
#include <MenuItem.h>
#include <Message.h>
#include <TranslationUtils.h>
#include <TranslatorRoster.h>

status_t BTranslationUtils::AddTranslationItems(BMenu* intoMenu, uint32 fromType,
                                                const BMessage* model, const char* translatorIdName,
                                                const char* translatorTypeName,
                                                BTranslatorRoster* roster)
{
    if (intoMenu == nullptr)
        return B_BAD_VALUE;
    if (roster == nullptr)
        roster = BTranslatorRoster::Default();
    if (translatorIdName == nullptr)
        translatorIdName = "be:translator";
    if (translatorTypeName == nullptr)
        translatorTypeName = "be:type";

    translator_id* ids = nullptr;
    int32 count = 0;
    status_t status = roster->GetAllTranslators(&ids, &count);
    if (status != B_OK)
        return status;
    for (int32 i = 0; i < count; i++) {
        const translation_format* inputs = nullptr;
        const translation_format* outputs = nullptr;
        int32 inputCount = 0, outputCount = 0;
        if (roster->GetInputFormats(ids[i], &inputs, &inputCount) != B_OK ||
            roster->GetOutputFormats(ids[i], &outputs, &outputCount) != B_OK)
            continue;
        bool reads = false;
        for (int32 j = 0; j < inputCount; j++)
            reads = reads || inputs[j].type == fromType;
        if (!reads)
            continue;
        for (int32 j = 0; j < outputCount; j++) {
            if (outputs[j].type == fromType)
                continue;
            auto* message =
                model != nullptr ? new BMessage(*model) : new BMessage(B_TRANSLATION_MENU);
            message->AddInt32(translatorIdName, ids[i]);
            message->AddInt32(translatorTypeName, int32(outputs[j].type));
            intoMenu->AddItem(new BMenuItem(outputs[j].name, message));
        }
    }
    delete[] ids;
    return B_OK;
}
