// The object model the program's classes rest on: components with an owner
// that frees them, string lists, and memory streams.
#pragma once

#include "framework/ansi_string.h"

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <vector>

class TObject {
public:
    virtual ~TObject() = default;
};

using TNotifyEvent = std::function<void(TObject* Sender)>;

// Raised by the framework for its own failures; the message is Shift_JIS.
class Exception : public std::runtime_error {
public:
    explicit Exception(const AnsiString& Message) : std::runtime_error(Message) {}
};

enum TOperation { opInsert, opRemove };

enum TComponentStateFlag : unsigned { csLoading = 1, csDesigning = 2, csDestroying = 4 };

// A component belongs to its owner, which destroys it together with itself
// (the owned ones in reverse order of insertion). Every component of the
// owner is told through Notification when one of them is removed.
class TComponent : public TObject {
public:
    explicit TComponent(TComponent* Owner);
    ~TComponent() override;
    TComponent(const TComponent&) = delete;
    TComponent& operator=(const TComponent&) = delete;

    TComponent* Owner() const { return FOwner; }
    int ComponentCount() const { return static_cast<int>(FComponents.size()); }
    TComponent* Components(int Index) const { return FComponents.at(static_cast<size_t>(Index)); }
    unsigned ComponentState() const { return FComponentState; }
    void SetDesigning(bool Designing);

    AnsiString Name;

protected:
    virtual void Notification(TComponent* AComponent, TOperation Operation);

private:
    void InsertComponent(TComponent* AComponent);
    void RemoveComponent(TComponent* AComponent);

    TComponent* FOwner = nullptr;
    std::vector<TComponent*> FComponents;
    unsigned FComponentState = 0;
};

// An ordered list of byte strings.
class TStringList : public TObject {
public:
    int Count() const { return static_cast<int>(FItems.size()); }
    const AnsiString& operator[](int Index) const { return FItems.at(static_cast<size_t>(Index)); }
    void Add(const AnsiString& S) { FItems.push_back(S); }
    void Clear() { FItems.clear(); }
    const std::vector<AnsiString>& Items() const { return FItems; }

private:
    std::vector<AnsiString> FItems;
};

enum TSeekOrigin { soFromBeginning = 0, soFromCurrent = 1, soFromEnd = 2 };

// A growable block of bytes with a position. Reads never go past Size; a seek
// outside 0..Size is clamped to it.
class TMemoryStream : public TObject {
public:
    int32_t Read(void* Buffer, int32_t Count);
    int32_t Write(const void* Buffer, int32_t Count);
    int32_t Seek(int32_t Offset, TSeekOrigin Origin);
    int32_t Size() const { return static_cast<int32_t>(FData.size()); }
    void SetSize(int32_t NewSize);
    int32_t Position() const { return FPosition; }
    void SetPosition(int32_t Pos) { Seek(Pos, soFromBeginning); }
    void Clear();
    // The bytes; valid until the next write or resize. Null when empty.
    std::uint8_t* Memory() { return FData.empty() ? nullptr : FData.data(); }

private:
    std::vector<std::uint8_t> FData;
    int32_t FPosition = 0;
};
