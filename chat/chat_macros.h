#pragma once
// The macro kinds of the chat pages. Each refers to data of the request or
// the room that outlives the scope it is registered in.

#include "macro/macro.h"

#include <string>

class CChatRoom;
struct CChatClientState;
struct CChatRoomSettings;

// "checked" when the flag is set, else nothing (expanded as macro text).
class CCheckedMacro : public CMacro {
public:
    explicit CCheckedMacro(const int* flag) : m_flag(flag) {}
    void Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc) override;

private:
    const int* m_flag;
};

// The client state in its link form (full or partial).
class CClientStateMacro : public CMacro {
public:
    CClientStateMacro(const CChatClientState* state, int partial) : m_state(state), m_partial(partial) {}
    void Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc) override;

private:
    const CChatClientState* m_state;
    int m_partial;
};

// Expands a text it does not own in the calling scope.
class CExpandRefMacro : public CMacro {
public:
    explicit CExpandRefMacro(const std::string* text) : m_text(text) {}
    void Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc) override;

private:
    const std::string* m_text;
};

// A room value as it stands now, read from the room's settings snapshot.
class CRoomValueMacro : public CMacro {
public:
    enum class Field { Name, Description, Lines, Timeout };
    CRoomValueMacro(const CChatRoom& room, Field field) : m_room(room), m_field(field) {}
    void Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc) override;

private:
    const CChatRoom& m_room;
    Field m_field;
};
