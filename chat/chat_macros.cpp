#include "chat/chat_macros.h"

#include "chat/chat_room.h"
#include "chat/client_state.h"
#include "framework/text_buffer.h"
#include "macro/macro_context.h"

void CCheckedMacro::Evaluate(CMacroContext* scope, CTextBuffer* out, const char**, int)
{
    if (*m_flag)
        scope->Expand(out, "checked");
}

void CClientStateMacro::Evaluate(CMacroContext*, CTextBuffer* out, const char**, int)
{
    m_state->Format(*out, m_partial);
}

void CExpandRefMacro::Evaluate(CMacroContext* scope, CTextBuffer* out, const char**, int)
{
    scope->Expand(out, *m_text);
}

void CRoomValueMacro::Evaluate(CMacroContext*, CTextBuffer* out, const char**, int)
{
    std::shared_ptr<const CChatRoomSettings> room = m_room.GetRoom();
    switch (m_field) {
    case Field::Name:
        out->Append(room->name);
        break;
    case Field::Description:
        out->Append(room->description);
        break;
    case Field::Lines:
        out->Append(std::to_string(room->lines));
        break;
    case Field::Timeout:
        out->Append(std::to_string(room->timeout));
        break;
    }
}
