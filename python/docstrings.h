#pragma once

// The Python-visible documentation of the module, kept apart from the
// binding declarations so that module.cpp stays a list of bindings.

namespace tavrix::doc {

inline constexpr const char* module = R"doc(Python client of the corvane basecall server library.

``Corvane`` drives a pool of library clients against one server: reads go in
as dicts holding NumPy arrays and come back as dicts once called.)doc";

inline constexpr const char* corvane_class = R"doc(A client of one basecall server with one basecalling configuration.

The object holds a pool of library clients (``num_threads`` of them) that take
reads in turn. Blocking calls release the interpreter lock, so other Python
threads keep running while a call waits for the server.)doc";

inline constexpr const char* constructor = R"doc(Constructor connects to a basecall service at the specified port.

:param address: The address of the server: a port on the local host,
    host:port, or a tcp://, ipc:// or inproc:// endpoint.
:param config: The basecalling configuration: a configuration file name, or
    a model set written as a canonical basecall model, a ``|``, a
    comma-separated (possibly empty) list of modified-base models, a ``|``,
    and an optional duplex model.
:param num_threads: The number of internal worker threads to use to
    communicate with the server. Between 1 and 100.
:raises RuntimeError: "Invalid number of worker threads specified." for a
    num_threads outside 1 to 100.)doc";

inline constexpr const char* set_params = R"doc(Set the client parameters; only allowed while disconnected.

:param params: A dict of parameters. Allowed keys, with their Python types,
    meanings and defaults:

    * ``client_name`` (str): the name of this client on the server.
    * ``query_timeout`` (int): reply wait for every request, in ms (2000).
    * ``server_file_load_timeout`` (int): how long the server may take to load
      a configuration, index or bed file, in s (180).
    * ``pass_read_timeout`` (int): wait of pass_read when called with 0, in ms
      (default 0 = non-blocking).
    * ``connection_timeout`` (int): the connection's timeout interval on the
      server, in ms (15000).
    * ``reconnect_timeout`` (int): how long to keep reconnecting after a lost
      connection, in s (300).
    * ``max_message_size`` (int): block size of reads sent to the server, in
      samples (256000).
    * ``max_reads_queued`` (int): maximum number of queued reads (20).
    * ``max_server_read_failures`` (int): how often a read in flight is
      resubmitted after reconnections before it is given up (10).
    * ``priority`` (read_priority): priority of the reads passed (medium).
    * ``move_enabled`` (bool): ask for move tables (False).
    * ``barcode_kits`` (list of str): barcode kits to search for.
    * ``require_barcodes_both_ends`` (bool): require barcodes at both ends.
    * ``enable_trim_barcodes`` (bool): trim barcodes from the sequences.
    * ``trim_adapters`` (bool): trim adapters from the sequences.
    * ``trim_primers`` (bool): trim primers from the sequences.
    * ``align_ref`` (str): the alignment index file.
    * ``bed_file`` (str): the bed file.
    * ``minimap_opt_string`` (str): aligner options.
    * ``barcode_list`` (list): the barcodes to search for.
    * ``pair_by_channel`` (bool): pair duplex reads by channel.
    * ``chunk_size`` (int): chunk size, for adaptive sampling.
    * ``estimate_poly_a`` (bool): estimate poly-A tail lengths.
    * ``poly_a_config`` (str): the poly-A configuration file.

:returns: One of

    * ``success``: the parameters were applied to every client of the pool.
    * ``already_connected``: the client is connected; nothing was applied.
    * ``failed``: the dict is malformed (unknown key, a value of the wrong
      type); nothing was applied.)doc";

inline constexpr const char* get_status = R"doc(Get the connection status of the client.

:returns: ``connected``, ``disconnected``, ``error_state`` or one of the
    statuses of a connection being made.)doc";

inline constexpr const char* get_error_message = R"doc(Get the error message, if any.

:returns: The error messages of the pool's clients that are in error, one per
    line; empty when there is none.)doc";

inline constexpr const char* get_internal_state = R"doc(Get the internal state of the client, for diagnostics only.

:returns: The JSON state reports of the pool's clients, one per line.)doc";

inline constexpr const char* connect = R"doc(Connect to the server; blocks until connected or failed.

The pool's clients connect one after another; when one fails, those that
connected before it are disconnected again.

:returns: One of

    * ``success``: every client is connected.
    * ``failed``: the connection could not be made, or a client is in error
      (call disconnect first).
    * ``already_connected``: the client is already connected.
    * ``timed_out``: the server did not answer in time.
    * ``invalid_response``: the server's answer was unusable.
    * ``basecall_config_unavailable``: the server could not load the
      configuration.
    * ``barcode_kit_unavailable``: the server does not know a barcode kit.
    * ``align_index_unavailable``: the server could not load the alignment
      index.
    * ``bed_file_unavailable``: the server could not load the bed file.)doc";

inline constexpr const char* get_address = R"doc(Get the address of the server.

:returns: The address given to the constructor.)doc";

inline constexpr const char* pass_read = R"doc(Pass one read (pass_read) or a list of reads (pass_reads) to the server.

The clients of the pool take turns. A read is a dict with the required keys

* ``read_tag`` (int): a 32-bit non-negative value unique to this client; the
  read comes back under it.
* ``raw_data`` (numpy.ndarray): a one-dimensional array of signed 16-bit
  integers (any stride; the samples are copied).
* ``read_id`` (str): not empty.
* ``daq_offset`` (float), ``daq_scaling`` (float).
* ``start_time`` (int): unsigned 64-bit, in samples from the experiment
  start.
* ``sampling_rate`` (float).

and the optional keys ``channel`` (int), ``mux`` (int), ``run_id`` (str,
needed for duplex pairing), ``sequencing_kit`` (str, needed for adapter or
primer trimming) and ``end_reason`` (str). Other keys are ignored. The dicts
are only read: whatever the result, they are left as they were, so reads
that were not accepted can be passed again.

:param read: The read dict (pass_read).
:param reads: The list of read dicts (pass_reads); they are queued together
    or not at all.
:param wait_duration_ms: How long to wait for room in the queue, in ms; 0
    means the client's pass_read_timeout, which by default does not block.
:returns: One of

    * ``read_accepted``: the reads were queued.
    * ``not_accepting_reads``: not connected, in error, or finishing; nothing
      was queued.
    * ``queue_full``: the queue stayed full for the whole wait; nothing was
      queued.
    * ``bad_read``: a dict is not a valid read; nothing was queued.
:raises ValueError: "wait_duration_ms. Must be greater than or equal to
    zero." for a negative wait.)doc";

inline constexpr const char* get_completed_reads = R"doc(Get the reads the server has finished.

:returns: A list of lists of read dicts, one inner list per read passed in
    (of length 1 unless the server split the read). A read dict has the keys
    ``read_tag``, ``sub_tag``, ``priority``, ``metadata`` (a dict) and
    ``datasets`` (a dict of NumPy arrays and str). Reads shorter than 100
    samples come back with empty sequence and quality strings. For reads
    with alignment or modified-base results, ``metadata`` also holds
    ``alignment_sam_record``, the SAM lines joined by newlines. When part of
    a read cannot be converted (its SAM text, say), ``metadata`` holds the
    reason under ``conversion_error`` and the rest of the read and of the
    batch is delivered.)doc";

inline constexpr const char* finish = R"doc(Blocks until all reads are finished processing.

Then the clients disconnect.

:param timeout: The longest wait, in seconds; 0 means no timeout.
:returns: One of

    * ``success``: every read came back.
    * ``not_ready``: the timeout passed first; the client is disconnected.
    * ``failed``: a client is in error.
    * ``no_connection``: the client is not connected.
:raises RuntimeError: "Negative timeout specified for finish() method." for
    a negative timeout.)doc";

inline constexpr const char* disconnect = R"doc(Disconnect from the server.

Puts the client into the disconnected state, clearing errors and dropping
any reads it still holds.

:returns: ``success``, or ``no_connection`` when the client is not
    connected.)doc";

inline constexpr const char* get_basecalling_config = R"doc(Get the configuration details the server reported on connecting.

:returns: A tuple (dict, result). The dict holds ``config_name``,
    ``model_version_id``, ``modbase_model_version_id`` and ``duplex`` among
    others; it is empty unless the result is ``success``. The result is
    ``success`` or ``no_connection``.)doc";

inline constexpr const char* get_alignment_sam_header = R"doc(Get the SAM header of the alignment index.

:returns: A tuple (str, result): the header text (empty when no index is
    used) and ``success``, or ``no_connection``.)doc";

inline constexpr const char* repr = R"doc(One line per client of the pool: its status, and its error message when in
error.)doc";

inline constexpr const char* get_barcode_kits = R"doc(Get the barcode kits a server knows.

:param address: The server's address.
:param timeout: The reply timeout, in milliseconds.
:returns: A tuple (list, result): on ``success`` one dict per kit with the
    keys ``kit_name`` (str), ``first_index`` (int), ``last_index`` (int),
    ``is_both_ends`` (bool) and ``barcode_names`` (list of str: the names
    results give as their barcode arrangement, in index order); otherwise
    None. The result is one of
    ``success``, ``failed``, ``bad_reply``, ``bad_request`` (both meaning
    protocol version mismatch), ``invalid_response`` or ``timed_out``.)doc";

inline constexpr const char* get_server_stats = R"doc(Get a server's read counters.

:param address: The server's address.
:param timeout: The reply timeout, in milliseconds.
:returns: A tuple (dict, result): on ``success`` a dict with
    ``lifetime_reads_in``, ``lifetime_reads_out``, ``period_reads_in``,
    ``period_reads_out`` and ``client_statistics``, a list of dicts with
    ``input_read_count`` and ``output_read_count``; otherwise None. The
    result is one of ``success``, ``failed``, ``bad_reply``, ``bad_request``
    (both meaning protocol version mismatch), ``invalid_response`` or
    ``timed_out``.)doc";

inline constexpr const char* get_server_information = R"doc(Get information about a server.

:param address: The server's address.
:param timeout: The reply timeout, in milliseconds.
:returns: A tuple (str, result). On success the text holds JSON-encoded
    server information: versions, processing mode, loaded reference and bed
    files, GPU devices and driver version; otherwise "No information
    available". The result is one of ``success``, ``failed``, ``bad_reply``,
    ``bad_request`` (both meaning protocol version mismatch),
    ``invalid_response`` or ``timed_out``.)doc";

inline constexpr const char* get_server_internal_state = R"doc(Get a server's internal state, for diagnostics.

:param address: The server's address.
:param timeout: The reply timeout, in milliseconds.
:returns: A tuple (str, result): the state as JSON text on ``success``,
    otherwise None. The result is one of ``success``, ``failed``,
    ``bad_reply``, ``bad_request`` (both meaning protocol version mismatch),
    ``invalid_response`` or ``timed_out``.)doc";

inline constexpr const char* get_software_version = R"doc(Get the version of the client library.

:returns: A tuple containing the major, minor, and patch version numbers.)doc";

inline constexpr const char* get_protocol_version = R"doc(Get the version of the protocol the client speaks.

:returns: A tuple containing the major, minor, and patch version numbers.)doc";

inline constexpr const char* validate_read = R"doc(Check a read dict as pass_read would take it.

Converts the dict as ``pass_read`` does and runs the client's own read check
(which asks more of reads under a duplex configuration): the required keys
and their types, a read id that can name a FASTQ or SAM record, and tag
texts that such a record can hold.

:param read: A read dict, as for ``pass_read``.
:returns: An empty str when a client would take the read, otherwise why
    not: the key at fault and what it must hold, or the library's check
    text ("Missing data in ReadHolder object: ..." or "Invalid data in
    ReadHolder object: ..."). Never raises for a bad value.)doc";

inline constexpr const char* fastq_header_line = R"doc(Get the FASTQ header line of a called read.

:param read: A read dict as ``get_completed_reads`` returns it.
:param include_move_table: Append the move-table tag ("mv:B:c,...") when the
    read has moves.
:returns: "@" followed by the read name and the read's tags, tab-separated,
    without a line terminator. A tag whose value a record cannot hold is
    left out.
:raises RuntimeError: when the library cannot write the read (a read name no
    record holds, malformed read data).
:raises TypeError: for a dict whose values are not of their fields' types.)doc";

inline constexpr const char* sam_records = R"doc(Get the SAM records of a called read.

:param read: A read dict as ``get_completed_reads`` returns it.
:returns: A list of str, one SAM record each, without line terminators.
    For a read with an alignment table or modified-base probabilities these
    are the records in the metadata's "alignment_sam_record", which
    ``get_completed_reads`` builds; any other read gets its one unmapped
    record, built now. The first record carries the modified-base,
    move-table and per-read tags.
:raises RuntimeError: when the records cannot be built (as for
    ``fastq_header_line``, or with the metadata's "conversion_error" when
    they could not be built at collection).
:raises TypeError: as for ``fastq_header_line``.)doc";

inline constexpr const char* status_enum = "Connection status of a client.";
inline constexpr const char* result_enum = "Result of a client operation.";
inline constexpr const char* pass_read_result_enum = "Result of passing reads to a client.";
inline constexpr const char* read_priority_enum = "Scheduling priority of reads.";

// The helpers' texts are fixed, odd wording included.
inline constexpr const char* test_metadata_to_dict =
    "Helper function for use in testing conversion of Metadata objects to a Python dicts";
inline constexpr const char* test_datasets_to_dict =
    "Helper function for use in testing conversion of DatasetMap objects to Python dicts.";
inline constexpr const char* test_dict_to_readholder =
    "Helper function for use in testing conversion of python dict to ReadHolder object.";
inline constexpr const char* test_readholder_to_dict =
    "Helper function for use in testing conversion of a ReadHolder object to a python dict.";
inline constexpr const char* test_str_list_concat =
    "Helper function for use in testing the str_list_to_std_string() function.";
inline constexpr const char* test_config_details_to_dict =
    "Helper function for use in testing the config_details_to_dict() function.";

}  // namespace tavrix::doc
