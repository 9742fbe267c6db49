"""Python client of the corvane basecall server library."""

from typing import Any, ClassVar, TypedDict

import numpy.typing as npt

class ReadDict(TypedDict):
    """A read as get_completed_reads returns it."""

    read_tag: int
    sub_tag: int
    priority: Corvane.read_priority
    metadata: dict[str, int | float | str]
    datasets: dict[str, npt.NDArray[Any] | str]

class _Enum:
    def __init__(self, value: int) -> None: ...
    def __int__(self) -> int: ...
    def __index__(self) -> int: ...
    def __eq__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...
    @property
    def name(self) -> str: ...
    @property
    def value(self) -> int: ...

class Corvane:
    class status(_Enum):
        __members__: ClassVar[dict[str, Corvane.status]]
        disconnected: ClassVar[Corvane.status]
        preparing_connection: ClassVar[Corvane.status]
        loading_config: ClassVar[Corvane.status]
        loading_alignment_index: ClassVar[Corvane.status]
        loading_bed_file: ClassVar[Corvane.status]
        connecting: ClassVar[Corvane.status]
        connected: ClassVar[Corvane.status]
        error_state: ClassVar[Corvane.status]

    class result(_Enum):
        __members__: ClassVar[dict[str, Corvane.result]]
        success: ClassVar[Corvane.result]
        no_connection: ClassVar[Corvane.result]
        already_connected: ClassVar[Corvane.result]
        not_ready: ClassVar[Corvane.result]
        timed_out: ClassVar[Corvane.result]
        invalid_response: ClassVar[Corvane.result]
        basecall_config_unavailable: ClassVar[Corvane.result]
        barcode_kit_unavailable: ClassVar[Corvane.result]
        align_index_unavailable: ClassVar[Corvane.result]
        bed_file_unavailable: ClassVar[Corvane.result]
        file_load_timeout: ClassVar[Corvane.result]
        failed: ClassVar[Corvane.result]
        bad_request: ClassVar[Corvane.result]
        bad_reply: ClassVar[Corvane.result]
        invalid_aligner_options: ClassVar[Corvane.result]

    class pass_read_result(_Enum):
        __members__: ClassVar[dict[str, Corvane.pass_read_result]]
        read_accepted: ClassVar[Corvane.pass_read_result]
        not_accepting_reads: ClassVar[Corvane.pass_read_result]
        queue_full: ClassVar[Corvane.pass_read_result]
        bad_read: ClassVar[Corvane.pass_read_result]

    class read_priority(_Enum):
        __members__: ClassVar[dict[str, Corvane.read_priority]]
        high_priority: ClassVar[Corvane.read_priority]
        medium_priority: ClassVar[Corvane.read_priority]
        low_priority: ClassVar[Corvane.read_priority]

    # The members, also attributes of the class itself.
    disconnected: ClassVar[Corvane.status]
    preparing_connection: ClassVar[Corvane.status]
    loading_config: ClassVar[Corvane.status]
    loading_alignment_index: ClassVar[Corvane.status]
    loading_bed_file: ClassVar[Corvane.status]
    connecting: ClassVar[Corvane.status]
    connected: ClassVar[Corvane.status]
    error_state: ClassVar[Corvane.status]
    success: ClassVar[Corvane.result]
    no_connection: ClassVar[Corvane.result]
    already_connected: ClassVar[Corvane.result]
    not_ready: ClassVar[Corvane.result]
    timed_out: ClassVar[Corvane.result]
    invalid_response: ClassVar[Corvane.result]
    basecall_config_unavailable: ClassVar[Corvane.result]
    barcode_kit_unavailable: ClassVar[Corvane.result]
    align_index_unavailable: ClassVar[Corvane.result]
    bed_file_unavailable: ClassVar[Corvane.result]
    file_load_timeout: ClassVar[Corvane.result]
    failed: ClassVar[Corvane.result]
    bad_request: ClassVar[Corvane.result]
    bad_reply: ClassVar[Corvane.result]
    invalid_aligner_options: ClassVar[Corvane.result]
    read_accepted: ClassVar[Corvane.pass_read_result]
    not_accepting_reads: ClassVar[Corvane.pass_read_result]
    queue_full: ClassVar[Corvane.pass_read_result]
    bad_read: ClassVar[Corvane.pass_read_result]
    high_priority: ClassVar[Corvane.read_priority]
    medium_priority: ClassVar[Corvane.read_priority]
    low_priority: ClassVar[Corvane.read_priority]

    def __init__(self, address: str, config: str, num_threads: int = 1) -> None: ...
    def set_params(self, params: dict[str, Any]) -> Corvane.result: ...
    def get_status(self) -> Corvane.status: ...
    def get_error_message(self) -> str: ...
    def get_internal_state(self) -> str: ...
    def connect(self) -> Corvane.result: ...
    def get_address(self) -> str: ...
    def pass_read(self, read: dict[str, Any], wait_duration_ms: int = 0) -> Corvane.pass_read_result: ...
    def pass_reads(self, reads: list[dict[str, Any]], wait_duration_ms: int = 0) -> Corvane.pass_read_result: ...
    def get_completed_reads(self) -> list[list[ReadDict]]: ...
    def finish(self, timeout: int = 0) -> Corvane.result: ...
    def disconnect(self) -> Corvane.result: ...
    def get_basecalling_config(self) -> tuple[dict[str, bool | int | float | str], Corvane.result]: ...
    def get_alignment_sam_header(self) -> tuple[str, Corvane.result]: ...
    def validate_read(self, read: dict[str, Any]) -> str: ...
    @staticmethod
    def get_barcode_kits(address: str, timeout: int) -> tuple[list[dict[str, Any]] | None, Corvane.result]: ...
    @staticmethod
    def get_server_stats(address: str, timeout: int) -> tuple[dict[str, Any] | None, Corvane.result]: ...
    @staticmethod
    def get_server_information(address: str, timeout: int) -> tuple[str, Corvane.result]: ...
    @staticmethod
    def get_server_internal_state(address: str, timeout: int) -> tuple[str | None, Corvane.result]: ...
    @staticmethod
    def get_software_version() -> tuple[int, int, int]: ...
    @staticmethod
    def get_protocol_version() -> tuple[int, int, int]: ...

def fastq_header_line(read: ReadDict, include_move_table: bool = False) -> str: ...
def sam_records(read: ReadDict) -> list[str]: ...
def test_metadata_to_dict() -> dict[str, int | float | str]: ...
def test_datasets_to_dict() -> dict[str, npt.NDArray[Any] | str]: ...
def test_dict_to_readholder() -> ReadDict | dict[str, Any]: ...
def test_readholder_to_dict() -> ReadDict: ...
def test_str_list_concat(items: list[Any]) -> tuple[bool, str]: ...
def test_config_details_to_dict() -> dict[str, bool | int | float | str]: ...
