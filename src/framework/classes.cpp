#include "framework/classes.h"

#include <algorithm>
#include <cstring>

TComponent::TComponent(TComponent* Owner)
{
    if (Owner)
        Owner->InsertComponent(this);
}

TComponent::~TComponent()
{
    FComponentState |= csDestroying;
    while (!FComponents.empty())
        delete FComponents.back(); // the child's destructor removes it from the list
    if (FOwner)
        FOwner->RemoveComponent(this);
}

void TComponent::SetDesigning(bool Designing)
{
    if (Designing)
        FComponentState |= csDesigning;
    else
        FComponentState &= ~unsigned{csDesigning};
}

void TComponent::Notification(TComponent*, TOperation) {}

void TComponent::InsertComponent(TComponent* AComponent)
{
    FComponents.push_back(AComponent);
    AComponent->FOwner = this;
}

void TComponent::RemoveComponent(TComponent* AComponent)
{
    FComponents.erase(std::remove(FComponents.begin(), FComponents.end(), AComponent), FComponents.end());
    AComponent->FOwner = nullptr;
    Notification(AComponent, opRemove);
    for (TComponent* Other : FComponents)
        Other->Notification(AComponent, opRemove);
}

int32_t TMemoryStream::Read(void* Buffer, int32_t Count)
{
    int32_t n = std::clamp<int32_t>(Size() - FPosition, 0, std::max<int32_t>(Count, 0));
    if (n > 0)
        std::memcpy(Buffer, FData.data() + FPosition, static_cast<size_t>(n));
    FPosition += n;
    return n;
}

int32_t TMemoryStream::Write(const void* Buffer, int32_t Count)
{
    if (Count <= 0)
        return 0;
    size_t end = static_cast<size_t>(FPosition) + static_cast<size_t>(Count);
    if (end > FData.size())
        FData.resize(end);
    std::memcpy(FData.data() + FPosition, Buffer, static_cast<size_t>(Count));
    FPosition += Count;
    return Count;
}

int32_t TMemoryStream::Seek(int32_t Offset, TSeekOrigin Origin)
{
    int64_t base = Origin == soFromBeginning ? 0 : Origin == soFromCurrent ? FPosition : Size();
    FPosition = static_cast<int32_t>(std::clamp<int64_t>(base + Offset, 0, Size()));
    return FPosition;
}

void TMemoryStream::SetSize(int32_t NewSize)
{
    FData.resize(static_cast<size_t>(std::max<int32_t>(NewSize, 0)));
    FPosition = std::min(FPosition, Size());
}

void TMemoryStream::Clear()
{
    FData.clear();
    FPosition = 0;
}
